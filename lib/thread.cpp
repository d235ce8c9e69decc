// One POSIX thread per object, started detached or joinable through the common start
// routine th_hndlr, which runs the caller's handler and ends the thread with a null result.
// A joinable thread is joined when its object is destroyed.
#include <velka/thread>

#include <cerrno>

#include <velka/exception>

namespace velka {
namespace thread {

// Start routine of every thread: runs the handler with its argument, ignores its result and
// ends the thread through thread::exit().
void* th_hndlr(void* p_data) {
    hndlr_data* pdata = static_cast<hndlr_data*>(p_data);
    thread* pthr = pdata->m_thptr;
    pdata->m_handle(pdata->m_data);
    pthr->exit();
    return nullptr;
}

thread::thread()
    : m_tid(0), m_b_started(false), m_b_joinable(false), m_data{nullptr, nullptr, nullptr} {}

thread::~thread() {
    join();
}

int thread::create_detached_thread(handler hndl, void* data) {
    return create(hndl, data, false, "thread::create_detached_thread");
}

int thread::create_joinable_thread(handler hndl, void* data) {
    return create(hndl, data, true, "thread::create_joinable_thread");
}

// Starts the thread: attributes with the detach state, the start data in this object, then
// pthread_create. Returns 0 or the failing call's error number; throws when started before.
int thread::create(handler hndl, void* data, bool bjoinable, const char* sfunc) {
    if (m_b_started)
        throw velka::exception::exception("thread.cpp", sfunc, "The thread is already started", -1,
                                          EALREADY);
    pthread_attr_t attr;
    int iret = pthread_attr_init(&attr);
    if (iret != 0) return iret;
    iret = pthread_attr_setdetachstate(
        &attr, bjoinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    if (iret != 0) {
        pthread_attr_destroy(&attr);
        return iret;
    }
    m_data.m_thptr = this;
    m_data.m_data = data;
    m_data.m_handle = hndl;
    // The flags are set before the thread exists, because the new thread reads them in
    // exit(); a failed start puts them back.
    m_b_started = true;
    m_b_joinable = bjoinable;
    pthread_t tid;
    iret = pthread_create(&tid, &attr, th_hndlr, &m_data);
    pthread_attr_destroy(&attr);
    if (iret != 0) {
        m_b_started = false;
        m_b_joinable = false;
        return iret;
    }
    m_tid = tid;
    return 0;
}

void thread::cancel() {
    if (m_b_started) pthread_cancel(m_tid);
}

void thread::exit() {
    if (m_b_started) pthread_exit(nullptr);
}

void thread::join() {
    if (m_b_started && m_b_joinable) pthread_join(m_tid, nullptr);
}

}  // namespace thread
}  // namespace velka
