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
	const char *p;
	volatile int timeout = 0;
	sigset_t mask;
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
	for (p = host; *p != '\0' && *p != ' ' && (*p < '\t' || *p > '\r'); p++)
		continue;
	if (inet_addr(host) == INADDR_NONE || *p != '\0') {
		if (timeout != 0) {
			// A parent's signal mask and pending signals survive
			// exec: SIGALRM may be blocked, or one sent before we
			// started may be waiting to end the run early. Ignoring
			// SIGALRM for a moment discards that one, and ours is
			// let through once env is saved.
			sigprocmask(SIG_BLOCK, nullptr, &mask);
			sigdelset(&mask, SIGALRM);
			(void)std::signal(SIGALRM, SIG_IGN);
			if (std::signal(SIGALRM, sig_alrm) == SIG_ERR)
				std::exit(errno);
			if (setjmp(env) != 0)
				std::exit(-2);
			sigprocmask(SIG_SETMASK, &mask, nullptr);
			alarm(static_cast<unsigned int>(timeout));
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

	// Unbuffered, so that printf itself writes and can say that the
	// write failed, which exit's flush could not.
	(void)std::setvbuf(stdout, nullptr, _IONBF, 0);
	if (std::printf("%s", out) < 0)
		std::exit(errno != 0 ? errno : EIO);
	std::exit(0);
}
