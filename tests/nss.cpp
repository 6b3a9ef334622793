// A name-service module that never returns for names ending in ".stall",
// as a directory backend does once its server has gone away. Every other
// name is not its own, so the lookup moves on to the next source.

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <nss.h>
#include <unistd.h>

// NOLINTBEGIN(bugprone-easily-swappable-parameters): glibc's signatures.
extern "C" nss_status
_nss_stall_gethostbyname2_r(const char *name, int /* af */,
    hostent * /* result */, char * /* buf */, size_t /* len */, int *errnop,
    int *h_errnop)
{
	const size_t n = std::strlen(name);

	if (n < 6 || std::strcmp(name + n - 6, ".stall") != 0) {
		*errnop = ENOENT;
		*h_errnop = HOST_NOT_FOUND;
		return NSS_STATUS_NOTFOUND;
	}
	for (;;)
		(void)pause();
}

extern "C" nss_status
_nss_stall_gethostbyname_r(const char *name, hostent *result, char *buf,
    size_t len, int *errnop, int *h_errnop)
{
	return _nss_stall_gethostbyname2_r(
	    name, AF_INET, result, buf, len, errnop, h_errnop);
}
// NOLINTEND(bugprone-easily-swappable-parameters)
