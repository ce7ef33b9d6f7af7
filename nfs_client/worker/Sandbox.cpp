#include "nfs_client/worker/Sandbox.h"

#include <seccomp.h>       // seccomp_init, seccomp_rule_add, seccomp_load
#include <sys/prctl.h>     // prctl, PR_SET_PDEATHSIG
#include <sys/resource.h>  // setrlimit
#include <fcntl.h>         // O_ACCMODE, O_CREAT, O_TRUNC, O_APPEND
#include <sys/socket.h>    // AF_INET, AF_INET6, AF_NETLINK

#include <cerrno>   // errno, EPERM
#include <cstring>  // strerror

namespace nfsclient {
namespace worker {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

bool Limit(int resource, rlim_t value, const char* name, std::string& why) {
    const rlimit limit{value, value};
    if (setrlimit(resource, &limit) == 0) return true;
    why = std::string("cannot limit ") + name + ": " + strerror(errno);
    return false;
}

// The system calls of libnfs's socket work, the C and C++ runtimes, and the
// sanitizers' reports.
const int kAllowed[] = {
    SCMP_SYS(read),
    SCMP_SYS(write),
    SCMP_SYS(writev),
    SCMP_SYS(readv),
    SCMP_SYS(close),
    SCMP_SYS(poll),
    SCMP_SYS(ppoll),
    SCMP_SYS(connect),
    SCMP_SYS(bind),
    SCMP_SYS(getsockopt),
    SCMP_SYS(setsockopt),
    SCMP_SYS(getsockname),
    SCMP_SYS(getpeername),
    SCMP_SYS(sendto),
    SCMP_SYS(recvfrom),
    SCMP_SYS(sendmsg),
    SCMP_SYS(recvmsg),
    SCMP_SYS(shutdown),
    SCMP_SYS(fcntl),
    SCMP_SYS(ioctl),
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(mprotect),
    SCMP_SYS(madvise),
    SCMP_SYS(brk),
    SCMP_SYS(futex),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(getuid),
    SCMP_SYS(geteuid),
    SCMP_SYS(getgid),
    SCMP_SYS(getegid),
    SCMP_SYS(getrandom),
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(sigaltstack),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
    SCMP_SYS(tgkill),
    SCMP_SYS(sched_yield),
    SCMP_SYS(set_robust_list),
    SCMP_SYS(rseq),
    SCMP_SYS(clone),
    SCMP_SYS(clone3),
    SCMP_SYS(prlimit64),
    SCMP_SYS(fstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(lseek),
    SCMP_SYS(getrusage),
    SCMP_SYS(sched_getaffinity),
    // Kerberos (GSSAPI), measured with strace on a worker that set up
    // contexts from a credential cache and from a keytab: besides files
    // opened for reading only (the rule below), access() of krb5.conf, and
    // getdents64 of /etc/gss/mech.d and krb5's plug-in folder. Its KDC
    // exchanges (port 88, UDP or TCP) use the socket calls above; it reads
    // the current time and random bytes with calls above too.
    SCMP_SYS(access),
    SCMP_SYS(getdents64),
    // RestrictFiles: a filter on top can only take more away.
    SCMP_SYS(seccomp),
};

// Files opened for reading only: flags without write access, creation,
// truncation or appending.
constexpr scmp_datum_t kWritingOpenFlags = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;

// What RestrictFiles takes away again.
const int kFileCalls[] = {SCMP_SYS(openat), SCMP_SYS(access), SCMP_SYS(getdents64)};

bool Load(scmp_filter_ctx filter, int rc, std::string& why) {
    if (rc == 0) rc = seccomp_load(filter);
    seccomp_release(filter);
    if (rc != 0) {
        why = std::string("cannot load the system call filter: ") + strerror(-rc);
        return false;
    }
    return true;
}

}  // namespace

bool ApplyLimits(const SandboxLimits& limits, std::string& why) {
    // Not dumpable: no core, and no other process of the user may trace it.
    if (prctl(PR_SET_DUMPABLE, 0) != 0) {
        why = std::string("cannot make the worker undumpable: ") + strerror(errno);
        return false;
    }
    if (!Limit(RLIMIT_CORE, 0, "core files", why) || !Limit(RLIMIT_FSIZE, 0, "file sizes", why) ||
        !Limit(RLIMIT_NOFILE, 64, "descriptors", why))
        return false;
    if (limits.memoryMiB > 0 && !kSanitized &&
        !Limit(RLIMIT_AS, static_cast<rlim_t>(limits.memoryMiB) << 20, "memory", why))
        return false;
    if (limits.cpuSeconds > 0 && !Limit(RLIMIT_CPU, limits.cpuSeconds, "CPU time", why))
        return false;
    return true;
}

bool RestrictSystemCalls(std::string& why) {
    // The sanitizer runtimes probe memory and read their own maps with calls
    // the filter refuses (their checks then report errors that are not
    // there): sanitizer builds run without it; the plain build's tests run
    // with it.
    if (kSanitized) return true;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        why = "cannot set up the system call filter";
        return false;
    }
    int rc = 0;
    for (int call : kAllowed)
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    // Sockets to servers (and the KDC), and the netlink socket the resolver
    // may ask for the machine's addresses with.
    for (int domain : {AF_INET, AF_INET6, AF_NETLINK}) {
        const scmp_arg_cmp first{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(domain), 0};
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 1, first);
    }
    // Reading files, for Kerberos: MIT's libraries themselves (loaded with
    // dlopen under this filter when a call first needs Kerberos: the loader
    // reads /etc/ld.so.cache and each library's header, then maps it, with
    // PROT_EXEC, by the mmap and mprotect allowed above), krb5.conf, the
    // credential cache or the keytab, /etc/gss/mech.d, krb5's plug-ins and
    // the libraries they load (the keytab's pre-authentication), and what
    // the resolver reads on the way to the KDC (/etc/services,
    // /etc/nsswitch.conf, /etc/hosts, /etc/localtime). Allowed here, in the
    // filter loaded before the request is read, because only the request
    // tells whether Kerberos is needed and which configuration, cache and
    // keytab it names; RestrictFiles takes it away again once a call is
    // known to need none of it. Nothing is written: a service ticket
    // fetched from the KDC stays in the worker's memory.
    const scmp_arg_cmp readOnly{2, SCMP_CMP_MASKED_EQ, kWritingOpenFlags, 0};
    if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, readOnly);
    return Load(filter, rc, why);
}

bool RestrictFiles(std::string& why) {
    if (kSanitized) return true;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) {
        why = "cannot set up the system call filter";
        return false;
    }
    // No new privileges is set already, by the first filter (and prctl is
    // refused now).
    int rc = seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 0);
    for (int call : kFileCalls)
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
    return Load(filter, rc, why);
}

}  // namespace worker
}  // namespace nfsclient
