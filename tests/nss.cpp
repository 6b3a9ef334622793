// A name-service module that never returns for names ending in ".stall",
// as a directory backend does once its server has gone away, and answers
// "module.probe" with an address that no other source has, so that a run
// that writes it has asked the module. Every other name is not its own, so
// the lookup moves on to the next source.

#include <cerrno>
#include <cstring>
#include <memory>

#include <netdb.h>
#include <nss.h>
#include <unistd.h>

// NOLINTBEGIN(bugprone-easily-swappable-parameters): glibc's signatures.
extern "C" nss_status
_nss_stall_gethostbyname2_r(const char *name, int af, hostent *result,
    char *buf, size_t len, int *errnop, int *h_errnop)
{
	const size_t n = std::strlen(name);
	void *p = buf;
	char **v;

	if (std::strcmp(name, "module.probe") == 0 && af == AF_INET) {
		// The address list, the empty alias list, then 203.0.113.77.
		if ((v = static_cast<char **>(std::align(alignof(char *),
		         3 * sizeof(char *) + 4, p, len))) == nullptr) {
			*errnop = ERANGE;
			return NSS_STATUS_TRYAGAIN;
		}
		v[0] = reinterpret_cast<char *>(v + 3);
		std::memcpy(v[0], "\xcb\x00\x71\x4d", 4);
		v[1] = v[2] = nullptr;
		result->h_name = const_cast<char *>(name);
		result->h_aliases = v + 2;
		result->h_addrtype = AF_INET;
		result->h_length = 4;
		result->h_addr_list = v;
		return NSS_STATUS_SUCCESS;
	}
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
