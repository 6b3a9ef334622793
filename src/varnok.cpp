// varnok: write the IPv4 address of a host, and nothing else, to stdout.

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

std::jmp_buf env;

} // namespace

// C linkage, as a handler handed to the C library should have; static,
// since nothing outside this file may call it.
extern "C" {
static void
sig_alrm(int /* sig */)
{
	// The lookup cannot be cancelled from outside; leaving it is the only
	// way to keep the deadline.
	std::longjmp(env, 1);
}
}

int
main(int argc, char *argv[])
{
	// Live across setjmp: kept out of registers that a jump back would
	// not restore.
	const char *volatile host = nullptr;
	const char *out;
	volatile int timeout = 0;
	const timespec now{};
	sigset_t alrm;
	int ch;

	while ((ch = getopt(argc, argv, "s:t:")) != -1) {
		switch (ch) {
		case 's':
			host = optarg;
			break;
		case 't':
			timeout = std::atoi(optarg);
			break;
		default:
			break;
		}
	}
	if (host == nullptr)
		std::exit(-1);

	out = host;
	// inet_addr stops at white space and ignores whatever follows, so
	// "10.1.2.3 junk" must not be echoed as if it were the address.
	if (inet_addr(host) == INADDR_NONE ||
	    host[std::strcspn(host, " \t\n\v\f\r")] != '\0') {
		if (timeout != 0) {
			// A parent's signal mask and pending signals survive
			// exec, so ours may be blocked, or one of the parent's
			// waiting to end the run early. Hold SIGALRM off until
			// env is saved, drop any sent before us, then let ours
			// through.
			sigemptyset(&alrm);
			sigaddset(&alrm, SIGALRM);
			sigprocmask(SIG_BLOCK, &alrm, nullptr);
			if (std::signal(SIGALRM, sig_alrm) == SIG_ERR)
				std::exit(errno);
			if (setjmp(env) != 0)
				std::exit(-2);
			(void)sigtimedwait(&alrm, nullptr, &now);
			alarm(static_cast<unsigned int>(timeout));
			sigprocmask(SIG_UNBLOCK, &alrm, nullptr);
		}
		h_errno = 0;
		const hostent *he = gethostbyname2(host, AF_INET);
		if (timeout != 0)
			alarm(0);
		if (he == nullptr)
			std::exit(h_errno != 0 ? h_errno : NO_RECOVERY);
		if (he->h_addr_list[0] == nullptr)
			std::exit(NO_DATA);
		in_addr addr{};
		std::memcpy(&addr, he->h_addr_list[0], sizeof(addr));
		out = inet_ntoa(addr);
	}

	// exit would flush too, but could not say that the write failed.
	if (std::printf("%s", out) < 0 || std::fflush(stdout) != 0)
		std::exit(errno != 0 ? errno : EIO);
	std::exit(0);
}
