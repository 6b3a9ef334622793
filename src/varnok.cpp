// varnok: write the IPv4 or IPv6 address of a host, and nothing else, to
// stdout.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <nss.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
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

// White space as isspace() has it in the C locale, which varnok keeps, as
// the C library does when it reads nsswitch.conf.
#define SPACE " \t\n\v\f\r"

#ifdef VARNOK_STATIC

// The databases that the C library knows: it reads the line of no other.
constexpr const char *dbs[] = {"aliases", "ethers", "group", "group_compat",
    "gshadow", "hosts", "initgroups", "netgroup", "networks", "passwd",
    "passwd_compat", "protocols", "publickey", "rpc", "services", "shadow",
    "shadow_compat"};

// Read the "[...]" at p as the C library does: one or more STATUS=ACTION,
// "!" before a status for all but it. Returns the end of it, or null for
// one that the C library refuses, and with it the whole file.
static const char *
actions(const char *p)
{
	size_t n = 0;
	auto is = [&p, &n](const char *w) {
		return n == std::strlen(w) && strncasecmp(p, w, n) == 0;
	};

	p += 1 + std::strspn(p + 1, SPACE);
	do {
		p += *p == '!';
		n = std::strcspn(p, SPACE "=]");
		if (!is("SUCCESS") && !is("UNAVAIL") && !is("NOTFOUND") &&
		    !is("TRYAGAIN"))
			return nullptr;
		p += n + std::strspn(p + n, SPACE);
		if (*p != '=')
			return nullptr;
		p += 1 + std::strspn(p + 1, SPACE);
		n = std::strcspn(p, SPACE "=]");
		if (!is("RETURN") && !is("CONTINUE") && !is("MERGE"))
			return nullptr;
		p += n + std::strspn(p + n, SPACE);
	} while (*p != ']');
	return p + 1;
}

// Read a line of sources as the C library does, and copy to kept those it
// has built in, with their actions. A "[" where a source should be ends the
// line for the C library, and so here. Returns the length copied, or -1
// for a line that the C library refuses.
static long
sources(const char *p, char *kept)
{
	const char *const start = kept;
	const char *end;
	size_t n;
	bool keep;

	for (;;) {
		p += std::strspn(p, SPACE);
		if ((n = std::strcspn(p, SPACE "[")) == 0)
			break;
		keep = (n == 5 && std::strncmp(p, "files", 5) == 0) ||
		    (n == 3 && std::strncmp(p, "dns", 3) == 0);
		if (keep) {
			*kept++ = ' ';
			std::memcpy(kept, p, n);
			kept += n;
		}
		p += n + std::strspn(p + n, SPACE);
		if (*p != '[')
			continue;
		if ((end = actions(p)) == nullptr)
			return -1;
		if (keep) {
			*kept++ = ' ';
			std::memcpy(kept, p, static_cast<size_t>(end - p));
			kept += end - p;
		}
		p = end;
	}
	*kept = '\0';
	return kept - start;
}

// varnok.static asks only the sources its C library has built in, the
// hosts file and DNS: any other is a module, and a module loaded into it
// brings the system's libc.so.6 beside the one linked in, which crashes it
// wherever the two differ. What nsswitch.conf says of those two, their
// order and their actions, still holds; an action goes with its source.
// The C library must never take the hosts line from the file itself, since
// that would load the modules: it is read here by the C library's rules
// and always handed over, or the run fails as the C library fails. Returns
// whether there is anything to ask.
static bool
builtin_hosts()
{
	// Far more than any real nsswitch.conf: a longer one is refused rather
	// than misread. Each kept word gains at most a space.
	static char conf[1 << 20], kept[2 * sizeof(conf)];
	const char *hosts = "files dns";
	char *line, *end, *p, *q;
	size_t len = 0, n;
	ssize_t got = 0;
	int fd;

	h_errno = NETDB_INTERNAL;
	// The C library does without a file it may not or cannot open, and
	// fails with one it cannot read.
	if ((fd = open("/etc/nsswitch.conf", O_RDONLY | O_CLOEXEC)) == -1) {
		if (errno != EACCES && errno != EISDIR && errno != ELOOP &&
		    errno != ENOENT && errno != ENOTDIR && errno != EPERM)
			return false;
	} else {
		while (len < sizeof(conf) &&
		    (got = read(fd, conf + len, sizeof(conf) - len)) > 0)
			len += static_cast<size_t>(got);
		if (len == sizeof(conf))
			got = -1;
		(void)close(fd);
		if (got == -1)
			return false;
	}
	// A line ends at its newline, and its text at a NUL byte before that;
	// a last line with no newline is not read. The database's name ends at
	// white space or a colon, and every colon and space after it is
	// passed over. The last hosts line counts; a line for any database
	// that the C library cannot read refuses the whole file.
	for (line = conf; (end = static_cast<char *>(std::memchr(
	                       line, '\n', conf + len - line))) != nullptr;
	     line = end + 1) {
		*end = '\0';
		p = line + std::strspn(line, SPACE);
		n = std::strcspn(p, SPACE ":");
		if (n == 0 || (p[n] == '\0' && p + n != end))
			continue;
		q = p + n + std::strspn(p + n, SPACE ":");
		for (const char *db : dbs)
			if (std::strlen(db) == n &&
			    std::strncmp(db, p, n) == 0) {
				if (sources(q, kept) == -1)
					return false;
				if (n == 5 && std::strncmp(p, "hosts", 5) == 0)
					hosts = q;
			}
	}
	// The C library cannot take an empty line, and may crash on one:
	// with no source left, fail as it fails when none can answer.
	if (sources(hosts, kept) <= 0)
		return false;
	if (__nss_configure_lookup("hosts", kept) != 0)
		return false;
	h_errno = 0;
	return true;
}
#else
static bool
builtin_hosts()
{
	return true;
}
#endif

// The exit statuses. A failed lookup ends with the resolver's own code.
enum : int {
	st_ok = 0,
	st_no_host = HOST_NOT_FOUND,
	st_again = TRY_AGAIN,
	st_final = NO_RECOVERY,
	st_no_data = NO_DATA,
	st_closed = 252,   // no address took a connection
	st_unwanted = 253, // -e or -x turned the answer down
	st_late = 254,     // the deadline passed
	st_bad = 255, // the command line, or the name-service configuration
};

// The status of a lookup that failed with the resolver's code h: its own
// where it has one; a configuration the C library refused is a command
// that cannot work as it stands, and a failure that it gave no code for
// is final.
static int
resolver(int h)
{
	switch (h) {
	case HOST_NOT_FOUND:
	case TRY_AGAIN:
	case NO_RECOVERY:
	case NO_DATA:
		return h;
	case NETDB_INTERNAL:
		return st_bad;
	default:
		return st_final;
	}
}

// The most items an -e or -x list may hold.
constexpr int max_ranges = 64;

// An -e or -x item: an address, its bytes in network order, then the
// length of its prefix and its family; a list ends with an item whose
// length is no_more.
using range = unsigned char[18];
constexpr unsigned char no_more = 255;

// Read an -e or -x list of the family af, or of either for AF_UNSPEC,
// into r: items split by commas, each an address as inet_pton writes it,
// with /n for a range; neither has leading zeros. No list is an empty one.
// Returns whether the text is such a list. Each address is cut out in
// place, as getsubopt does, so that no copy is needed.
static bool
ranges(char *list, int af, range *r)
{
	size_t n, d, k;
	long bits, most;
	bool last;

	r[0][16] = no_more;
	for (int i = 0; list != nullptr && i < max_ranges; i++, list += n + 1) {
		n = std::strcspn(list, ",");
		d = std::strcspn(list, ",/");
		last = list[n] == '\0';
		list[d] = '\0';
		if (af != AF_INET6 && inet_pton(AF_INET, list, r[i]) == 1)
			r[i][17] = AF_INET;
		else if (af != AF_INET && inet_pton(AF_INET6, list, r[i]) == 1)
			r[i][17] = AF_INET6;
		else
			return false;
		bits = most = r[i][17] == AF_INET ? 32 : 128;
		if (d < n &&
		    ((k = n - d - 1) == 0 || k > 3 ||
		        std::strspn(list + d + 1, "0123456789") != k ||
		        (k > 1 && list[d + 1] == '0') ||
		        (bits = std::strtol(list + d + 1, nullptr, 10)) > most))
			return false;
		r[i][16] = static_cast<unsigned char>(bits);
		r[i + 1][16] = no_more;
		if (last)
			return true;
	}
	return list == nullptr;
}

// An address of an answer: its family, its bytes in network order, and
// for a literal, the scope its zone names.
struct item {
	int af;
	unsigned int scope;
	unsigned char a[16];
};

// More than a DNS answer, even over TCP, can hold.
constexpr int max_addrs = 4096;

// Whether x lies in a range of r of its family. Compared as numbers, bit
// by bit, so that .21 is never taken for .215.
static bool
within(const item &x, const range *r)
{
	int left, j;

	for (; (*r)[16] != no_more; r++) {
		if ((*r)[17] != x.af)
			continue;
		// Each byte that the prefix covers, the last maybe in part.
		for (left = (*r)[16], j = 0; left > 0; left -= 8, j++)
			if ((x.a[j] ^ (*r)[j]) >> std::max(8 - left, 0) != 0)
				break;
		if (left <= 0)
			return true;
	}
	return false;
}

// Whether a TCP handshake with x on port completes; the connection is
// closed at once, with nothing sent or read. SO_SNDTIMEO is the kernel's
// own bound on a connect: a second, so that an address that never answers
// costs no more than that, where the SYN retries would take minutes.
static bool
reach(const item &x, int port)
{
	const timeval second = {1, 0};
	sockaddr_in v4{};
	sockaddr_in6 v6{};
	const sockaddr *sa = reinterpret_cast<const sockaddr *>(&v4);
	socklen_t len = sizeof(v4);
	int fd, r = -1;

	if (x.af == AF_INET) {
		v4.sin_family = AF_INET;
		v4.sin_port = htons(static_cast<uint16_t>(port));
		std::memcpy(&v4.sin_addr, x.a, sizeof(v4.sin_addr));
	} else {
		v6.sin6_family = AF_INET6;
		v6.sin6_port = htons(static_cast<uint16_t>(port));
		std::memcpy(&v6.sin6_addr, x.a, sizeof(v6.sin6_addr));
		v6.sin6_scope_id = x.scope;
		sa = reinterpret_cast<const sockaddr *>(&v6);
		len = sizeof(v6);
	}
	if ((fd = socket(x.af, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)) == -1)
		return false;
	if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof(second)) ==
	    0)
		r = connect(fd, sa, len);
	(void)close(fd);
	return r == 0;
}

// Which family host is written in as an address, or 0 for a name; the
// address goes to x, and the text to write to out. An IPv4 address is
// what inet_aton takes, and all ones however it is spelt, though the
// resolver would take most spellings of that for names; an IPv6 one is
// what inet_pton takes, with an optional zone of 1 to 15 characters after
// a "%", an interface's name or index. inet_aton stops at white space and
// ignores whatever follows, so "10.1.2.3 junk" is no address.
static int
literal(const char *host, item *x, const char **out)
{
	const size_t n = std::strcspn(host, "%");
	const char *const zone = host + n + (host[n] == '%');
	const size_t z = std::strcspn(zone, "%");
	char text[INET6_ADDRSTRLEN];
	addrinfo hints{}, *res;
	in_addr v4;

	if (host[std::strcspn(host, SPACE)] != '\0')
		return 0;
	if (inet_aton(host, &v4) != 0) {
		std::memcpy(x->a, &v4, sizeof(v4));
		if (v4.s_addr == INADDR_NONE)
			*out = "255.255.255.255";
		return x->af = AF_INET;
	}
	if (n >= sizeof(text) ||
	    (zone != host + n &&
	        (z == 0 || z >= IF_NAMESIZE || zone[z] != '\0')))
		return 0;
	std::memcpy(text, host, n);
	text[n] = '\0';
	if (inet_pton(AF_INET6, text, x->a) != 1)
		return 0;
	// The zone, an interface's name or index, as the C library reads it
	// for a connection; one with no interface has no scope.
	hints.ai_family = AF_INET6;
	hints.ai_flags = AI_NUMERICHOST;
	if (zone != host + n && getaddrinfo(host, nullptr, &hints, &res) == 0) {
		x->scope = reinterpret_cast<sockaddr_in6 *>(res->ai_addr)
		               ->sin6_scope_id;
		freeaddrinfo(res);
	}
	return x->af = AF_INET6;
}

// Look host up as a program that connects does, for addresses of either
// family that the host can use, in the order of RFC 6724 as gai.conf
// tunes it: the addresses go to a, and their count to n. Returns the
// status. getaddrinfo's codes say less than the resolver's: a name
// server's format error and a name-service configuration that the C
// library refuses come back as no such name, as a missing name does, and
// a source that cannot be loaded as a system error. The resolver's code,
// which the sources leave, tells them apart; where none was asked, it is
// still 0.
static int
lookup_any(const char *host, item *a, int *n)
{
	addrinfo hints{}, *res, *p;
	int e;

	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_ADDRCONFIG;
	if ((e = getaddrinfo(host, nullptr, &hints, &res)) != 0) {
		switch (e) {
		case EAI_NONAME:
			return h_errno == 0 ? st_bad : resolver(h_errno);
		case EAI_NODATA:
		case EAI_ADDRFAMILY:
			return st_no_data;
		case EAI_AGAIN:
			return st_again;
		case EAI_SYSTEM:
			return resolver(h_errno);
		default:
			return st_final;
		}
	}
	*n = 0;
	for (p = res; p != nullptr && *n < max_addrs; p = p->ai_next) {
		a[*n].af = p->ai_family;
		if (p->ai_family == AF_INET)
			std::memcpy(a[(*n)++].a,
			    &reinterpret_cast<sockaddr_in *>(p->ai_addr)
			         ->sin_addr,
			    sizeof(in_addr));
		else if (p->ai_family == AF_INET6)
			std::memcpy(a[(*n)++].a,
			    &reinterpret_cast<sockaddr_in6 *>(p->ai_addr)
			         ->sin6_addr,
			    sizeof(in6_addr));
	}
	freeaddrinfo(res);
	return *n != 0 ? st_ok : st_no_data;
}

// Look host up for addresses of af, or of either with AF_UNSPEC, unless it
// is a literal of the family lit, already in a: the answer's addresses go
// to a, in the resolver's order, and their count to n. Returns the status.
static int
lookup(const char *host, int af, int lit, item *a, int *n)
{
	const hostent *he;

	if (lit != 0) {
		*n = 1;
		return lit == af || af == AF_UNSPEC ? st_ok : st_no_data;
	}
	h_errno = 0;
	if (!builtin_hosts())
		return resolver(h_errno);
	if (af == AF_UNSPEC)
		return lookup_any(host, a, n);
	if ((he = gethostbyname2(host, af)) == nullptr)
		return resolver(h_errno);
	for (*n = 0; *n < max_addrs && he->h_addr_list[*n] != nullptr; ++*n) {
		a[*n].af = af;
		std::memcpy(a[*n].a, he->h_addr_list[*n],
		    af == AF_INET ? sizeof(in_addr) : sizeof(in6_addr));
	}
	return *n != 0 ? st_ok : st_no_data;
}

// The status of an answer of n addresses, with the address to write in
// *to: the first that lies in want (or any, where want is empty) and,
// given a port, takes a connection on it, tried in the answer's order;
// none, if any address of the answer lies in shun.
static int
choose(const item *a, int n, const range *want, const range *shun, int port,
    const item *volatile *to)
{
	int st = st_unwanted;

	for (int i = 0; i < n; i++)
		if (within(a[i], shun))
			return st_unwanted;
	for (int i = 0; i < n; i++) {
		if (want[0][16] != no_more && !within(a[i], want))
			continue;
		if (port == 0 || reach(a[i], port)) {
			*to = &a[i];
			return st_ok;
		}
		st = st_closed;
	}
	return st;
}

// Whether another try may end otherwise: a name not there yet, a server
// that failed, no address of the family yet, an answer that -e or -x
// turns down, a server not listening yet. A literal can only gain a
// listener.
static bool
may_change(int st, int lit)
{
	if (st == st_closed)
		return true;
	return lit == 0 &&
	    (st == st_no_host || st == st_again || st == st_no_data ||
	        st == st_unwanted);
}

// Read -p: a port in decimal, 1 to 65535, with no sign, leading zero or
// white space. Returns 0 for any other text.
static int
port_of(const char *arg)
{
	const size_t n = std::strspn(arg, "0123456789");
	long p;

	if (n == 0 || n > 5 || arg[n] != '\0' || arg[0] == '0')
		return 0;
	p = std::strtol(arg, nullptr, 10);
	return p <= 65535 ? static_cast<int>(p) : 0;
}

// Read -t as atoi reads it, but a value too big for an int is the largest
// deadline, not what its low bits happen to say; and a positive fraction
// of a second, such as 0.5 or .5, still asks for one: the alarm's
// shortest.
static int
seconds(const char *arg)
{
	const char *p = arg + std::strspn(arg, SPACE);
	const int t = static_cast<int>(std::clamp(
	    std::strtol(arg, nullptr, 10), long{INT_MIN}, long{INT_MAX}));

	p += *p == '+';
	p += std::strspn(p, "0");
	if (t == 0 && *p == '.' &&
	    std::strspn(p + 1 + std::strspn(p + 1, "0"), "123456789") != 0)
		return 1;
	return t;
}

int
main(int argc, char *argv[])
{
	// Live across setjmp: kept out of registers that a jump back would
	// not restore.
	const char *volatile host = nullptr;
	volatile int timeout = 0, af = AF_INET, port = 0;
	volatile bool wait = false;
	// The pause between tries, doubling to a second.
	timespec nap = {0, 50000000};
	// What -e wants and -x shuns, and the port of -p.
	char *want_list = nullptr, *shun_list = nullptr, *port_arg = nullptr;
	range want[max_ranges + 1], shun[max_ranges + 1];
	// The answer: a literal's address, or the lookup's.
	static item answer[max_addrs];
	const item *volatile to = nullptr;
	char text[INET6_ADDRSTRLEN];
	const char *out;
	sigset_t mask;
	struct sigaction sa {};
	int ch, lit, n = 0, st;

	// The leading "-" hands back words that are not options, in place,
	// instead of stopping at the first of them as POSIXLY_CORRECT asks.
	while ((ch = getopt(argc, argv, "-46ae:p:s:t:wx:")) != -1) {
		switch (ch) {
		case '4':
			af = AF_INET;
			break;
		case '6':
			af = AF_INET6;
			break;
		case 'a':
			af = AF_UNSPEC;
			break;
		case 'e':
			want_list = optarg;
			break;
		case 'p':
			port_arg = optarg;
			break;
		case 's':
			host = optarg;
			break;
		case 'x':
			shun_list = optarg;
			break;
		case 'w':
			wait = true;
			break;
		case 't':
			timeout = seconds(optarg);
			break;
		default:
			break;
		}
	}
	if (host == nullptr)
		std::exit(st_bad);
	if (port_arg != nullptr)
		port = port_of(port_arg);
	if (!ranges(want_list, af, want) || !ranges(shun_list, af, shun) ||
	    (port_arg != nullptr && port == 0))
		std::exit(st_bad);

	out = host;
	lit = literal(host, answer, &out);
	// A literal is looked up nowhere: only a connect to it takes time.
	if (lit == 0 || port != 0) {
		// As a container's first process, a signal left at its default
		// action never arrives, so nothing could stop a lookup or a
		// wait: end the run as a shell reports death by the signal.
		// One the parent ignores stays ignored. The handler is a
		// lambda, not a second name at file scope; C++ linkage calls
		// the same way as C on every ABI varnok is built for.
		if (getpid() == 1)
			for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
				if (sigaction(sig, nullptr, &sa) == 0 &&
				    sa.sa_handler != SIG_IGN)
					(void)std::signal(
					    sig, [](int n) { _exit(128 + n); });
		if (timeout != 0) {
			// A parent's timer, signal mask and pending signals
			// survive exec. Disarm its timer, so that no expiry of
			// its own can come; drop one that came already
			// (ignoring a signal discards it, blocked or not);
			// unblock SIGALRM only once ours is armed.
			alarm(0);
			sigprocmask(SIG_BLOCK, nullptr, &mask);
			sigdelset(&mask, SIGALRM);
			(void)std::signal(SIGALRM, SIG_IGN);
			if (std::signal(SIGALRM, sig_alrm) == SIG_ERR)
				std::exit(errno);
			if (setjmp(env) != 0)
				std::exit(st_late);
			alarm(static_cast<unsigned int>(timeout));
			sigprocmask(SIG_SETMASK, &mask, nullptr);
		}
	}
	// With -w, what may yet change is tried again, the whole try.
	for (;;) {
		if ((st = lookup(host, af, lit, answer, &n)) == st_ok)
			st = choose(answer, n, want, shun, port, &to);
		if (st == st_ok || !wait || !may_change(st, lit))
			break;
		(void)clock_nanosleep(CLOCK_MONOTONIC, 0, &nap, nullptr);
		if ((nap.tv_nsec *= 2) >= 1000000000)
			nap = {1, 0};
	}
	if ((lit == 0 || port != 0) && timeout != 0)
		alarm(0);
	if (st != st_ok)
		std::exit(st);
	if (lit == 0)
		out = inet_ntop(to->af, to->a, text, sizeof(text));

	// Unbuffered, so that printf itself writes and can say that the
	// write failed, which exit's flush could not.
	(void)std::setvbuf(stdout, nullptr, _IONBF, 0);
	if (std::printf("%s", out) < 0)
		std::exit(errno != 0 ? errno : EIO);
	std::exit(st_ok);
}
