// The signal set: one trampoline for every managed signal, the component's function run on
// delivery, then the previous disposition restored and the signal raised again so it takes
// the course it would have taken without the set.
#include <velka/signalset>

#include <cerrno>
#include <cstring>

#include <velka/utilities>

namespace velka {
namespace signalset {

namespace {

// The set the trampoline dispatches to: the most recently constructed one.
std::atomic<signalset*> psigset(nullptr);

bool validsig(int sig) {
    return sig > 0 && sig < NSIG;
}

}  // namespace

void signal_handler(int sig) {
    // The interrupted code may be about to read errno.
    int isaved = errno;
    signalset* pset = psigset.load();
    if (pset != nullptr) pset->invokehandler(sig);
    errno = isaved;
}

signalset::signalset() {
    for (int i = 0; i < NSIG; ++i) {
        memset(&m_aact[i], 0, sizeof(m_aact[i]));
        m_afn[i].store(nullptr);
        m_aarmed[i].store(false);
    }
    psigset.store(this);
}

signalset::signalset(int sig, sighndlr fptr) : signalset() {
    sethandler(sig, fptr);
}

signalset::signalset(const std::set<int>& sigset, sighndlr fptr) : signalset() {
    sethandler(sigset, fptr);
}

signalset::~signalset() {
    for (auto& kv : m_newmap) {
        if (unregisterhandler(kv.first) != 0) save_err(kv.first, errno);
    }
    // A newer set stays the current one.
    signalset* pself = this;
    psigset.compare_exchange_strong(pself, nullptr);
}

int signalset::sethandler(int sig, sighndlr fptr) {
    if (registerhandler(sig, fptr) == 0) return 0;
    save_err(sig, errno);
    return -1;
}

int signalset::sethandler(const std::set<int>& sigset, sighndlr fptr) {
    int iret = 0;
    for (int sig : sigset) {
        if (sethandler(sig, fptr) != 0) iret = -1;
    }
    return iret;
}

int signalset::unsethandler(int sig) {
    if (unregisterhandler(sig) == 0) return 0;
    save_err(sig, errno);
    return -1;
}

int signalset::unsethandler(const std::set<int>& sigset) {
    int iret = 0;
    for (int sig : sigset) {
        if (unsethandler(sig) != 0) iret = -1;
    }
    return iret;
}

void signalset::invokehandler(int sig) {
    if (!validsig(sig)) return;
    // Only the first delivery runs the function; a concurrent one on another thread finds
    // the signal taken and returns (a fault is then met again once the disposition is back).
    if (!m_aarmed[sig].exchange(false)) return;
    sighndlr fptr = m_afn[sig].load();
    if (fptr != nullptr) fptr(sig);
    sigaction(sig, &m_aact[sig], nullptr);
    // Blocked while this handler runs: unblocked here, it is delivered at once with the
    // previous disposition. A default action that ends the process ends it here.
    raise(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    // The program goes on, and so does the component. The signal keeps the program's
    // disposition from now on.
    sighndlr fresume = m_resume.load();
    if (fresume != nullptr) fresume(sig);
}

void signalset::setresume(sighndlr fptr) {
    m_resume.store(fptr);
}

void signalset::reset_errors() {
    m_errlist.clear();
}

const std::list<err_desc>& signalset::get_errors() {
    return m_errlist;
}

// Installs the trampoline with SA_RESTART (SIGALRM: SA_INTERRUPT) and an empty mask. The
// previous disposition is read and stored first, so a signal that arrives as soon as the
// trampoline is in place finds it. 0, or -1 with errno set.
int signalset::registerhandler(int sig, sighndlr fptr) {
    velka::mutex::mutex_mgr guard(&m_lock);
    if (!validsig(sig)) {
        errno = EINVAL;
        return -1;
    }
    auto it = m_origmap.find(sig);
    if (it != m_origmap.end() && it->second.m_breplaced) {
        m_newmap[sig] = fptr;
        m_afn[sig].store(fptr);
        m_aarmed[sig].store(true);
        return 0;
    }
    struct sigaction newact;
    memset(&newact, 0, sizeof(newact));
    newact.sa_handler = signal_handler;
    sigemptyset(&newact.sa_mask);
    newact.sa_flags = sig == SIGALRM ? SA_INTERRUPT : SA_RESTART;
    struct sigaction oldact;
    if (sigaction(sig, nullptr, &oldact) != 0) return -1;
    m_aact[sig] = oldact;
    m_afn[sig].store(fptr);
    m_aarmed[sig].store(true);
    if (sigaction(sig, &newact, nullptr) != 0) {
        int isaved = errno;
        m_aarmed[sig].store(false);
        errno = isaved;
        return -1;
    }
    m_origmap[sig] = signal_desc{oldact, true};
    m_newmap[sig] = fptr;
    return 0;
}

// Reinstalls the saved disposition of a managed signal. 0 when the set does not manage it;
// -1 with errno set on failure. m_newmap keeps the function.
int signalset::unregisterhandler(int sig) {
    velka::mutex::mutex_mgr guard(&m_lock);
    auto it = m_origmap.find(sig);
    if (it == m_origmap.end()) return 0;
    if (!it->second.m_breplaced) {
        errno = ENOENT;
        return -1;
    }
    struct sigaction oldact = it->second.m_act;
    m_origmap.erase(it);
    // A signal already dispatched has had its disposition put back by the dispatch step,
    // and the program may have changed it since.
    if (!m_aarmed[sig].load()) return 0;
    int iret = sigaction(sig, &oldact, nullptr);
    int isaved = errno;
    m_aarmed[sig].store(false);
    errno = isaved;
    return iret;
}

void signalset::save_err(int sig, int err) {
    m_errlist.push_back(err_desc{err, "Failed to register signal handler for signal " +
                                          velka::utilities::utilities::itostr(sig)});
}

}  // namespace signalset
}  // namespace velka
