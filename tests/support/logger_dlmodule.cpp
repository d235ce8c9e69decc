// A module that a test loads with dlopen: it logs through the library and uses the queue's
// header on its own.
#include <velka/circular_buffer>
#include <velka/logger>

extern "C" __attribute__((visibility("default"))) void velka_dlmodule_log(
    velka::logger::source* psrc) {
    velka::circular_buffer::circular_buffer_mgr<int> q(2);
    q.queue(1);
    q.queue(2);
    int i = 0;
    q.timeddequeue(1, i);
    velka::logger::LOG(psrc, "m.cpp", "m", "from the module " + std::to_string(i));
    velka::logger::LOGF(psrc, "m.cpp", "m", "from the module %d", q.dequeue());
}
