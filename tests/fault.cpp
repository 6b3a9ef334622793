// Makes the libc calls that varnok cannot provoke into failing fail on
// demand: preloaded, and told what to break by VARNOK_FAULT.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <netdb.h>
#include <time.h>

namespace {

bool
fault(const char *what)
{
	const char *f = std::getenv("VARNOK_FAULT");
	return f != nullptr && std::strcmp(f, what) == 0;
}

} // namespace

extern "C" hostent *
gethostbyname2(const char *name, int af)
{
	static char *none[] = {nullptr};
	static hostent empty = {nullptr, none, AF_INET, 4, none};
	using fn = hostent *(*)(const char *, int);
	auto real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "gethostbyname2"));

	if (fault("empty"))
		return &empty; // success that carries no address
	if (fault("nocode")) {
		h_errno = 0; // failure that leaves no code behind
		return nullptr;
	}
	hostent *he = real(name, af);
	// The deadline lands after the lookup but before it is cancelled.
	if (fault("late"))
		(void)std::raise(SIGALRM);
	return he;
}

extern "C" sighandler_t
signal(int sig, sighandler_t handler)
{
	using fn = sighandler_t (*)(int, sighandler_t);
	auto real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "signal"));

	if (fault("sigerr")) {
		errno = EINVAL;
		return SIG_ERR;
	}
	sighandler_t old = real(sig, handler);
	// Set-up that takes its time, so that an alarm clock a parent left
	// running has every chance to expire in the middle of it.
	if (fault("slow")) {
		const timespec pause = {0, 20000000};
		(void)nanosleep(&pause, nullptr);
	}
	return old;
}
