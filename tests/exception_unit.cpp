// The exception type's rendering, without root.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <velka/exception>

using velka::exception::exception;

TEST(Unit_Exception, RendersEveryFieldWithItsSeparators) {
    exception e("thread.cpp", "thread::create_joinable_thread", "The thread is already started", -1,
                EALREADY);
    EXPECT_EQ(e(),
              "thread.cpp@thread::create_joinable_thread  The thread is already started  ret=-1  "
              "errno=114  " +
                  std::string(strerror(EALREADY)));
    EXPECT_EQ(e.get_file(), "thread.cpp");
    EXPECT_EQ(e.get_func(), "thread::create_joinable_thread");
    EXPECT_EQ(e.get_desc(), "The thread is already started");
    EXPECT_EQ(e.get_ret(), -1);
    EXPECT_EQ(e.get_errno(), 114);
}

TEST(Unit_Exception, EdgeValuesAndCopies) {
    // errno 0, negative numbers, empty texts: every separator is still there.
    EXPECT_EQ(exception("", "", "", 0, 0)(), "@    ret=0  errno=0  Success");
    EXPECT_EQ(exception("f", "g", "d", -7, -3)(),
              "f@g  d  ret=-7  errno=-3  " + std::string(strerror(-3)));
    exception orig("scsi.cpp", "scsi::open", "Device already open", -1, EBUSY);
    exception copy(orig);
    EXPECT_EQ(copy(), orig());
    try {
        throw copy;
    } catch (exception& caught) {
        EXPECT_EQ(caught(), orig());
    }
}
