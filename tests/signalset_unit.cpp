// The signal set: the component's function runs once, then the signal takes its previous
// course. Deliveries happen in child processes; nothing of the test process changes.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include <velka/signalset>

#include "velka_test.h"

using velka::signalset::signalset;

namespace {

// Written from signal context: the order in which functions ran.
char s_trace[16];
volatile sig_atomic_t s_itrace = 0;

void note(char c) {
    if (s_itrace < static_cast<sig_atomic_t>(sizeof(s_trace) - 1)) s_trace[s_itrace++] = c;
}

void componentfn(int) {
    note('c');
}

void programfn(int) {
    note('p');
}

void (*currenthandler(int sig))(int) {
    struct sigaction act;
    sigaction(sig, nullptr, &act);
    return act.sa_handler;
}

}  // namespace

TEST(Unit_SignalSetDeathTest, FunctionRunsThenDefaultActionEndsTheProcess) {
    velka_test::tempdir dir;
    std::string smark = dir / "mark";
    struct local {
        static std::string& path() {
            static std::string s;
            return s;
        }
        static void mark(int) {
            // Only async-signal-safe calls in a handler.
            int ifd = open(path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (ifd < 0) return;
            if (write(ifd, "ran\n", 4) != 4) _exit(3);
            close(ifd);
        }
    };
    local::path() = smark;
    EXPECT_EXIT(
        {
            signalset set(SIGUSR1, local::mark);
            raise(SIGUSR1);
        },
        ::testing::KilledBySignal(SIGUSR1), "");
    EXPECT_EQ(velka_test::slurp(smark), "ran\n");
}

TEST(Unit_SignalSet, ProgramHandlerRunsAfterTheFunctionAndStaysAfterwards) {
    int istatus = velka_test::run_in_child([] {
        struct sigaction own;
        memset(&own, 0, sizeof(own));
        own.sa_handler = programfn;
        sigaction(SIGUSR2, &own, nullptr);
        signalset set(SIGUSR2, componentfn);
        if (currenthandler(SIGUSR2) != velka::signalset::signal_handler) return 1;
        raise(SIGUSR2);
        if (currenthandler(SIGUSR2) != programfn) return 2;
        raise(SIGUSR2);  // the function ran at most once
        s_trace[s_itrace] = '\0';
        return std::string(s_trace) == "cpp" ? 0 : 3;
    });
    ASSERT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
}

TEST(Unit_SignalSet, InvalidSignalsAreRecordedAndTheOthersRegistered) {
    int istatus = velka_test::run_in_child([] {
        std::set<int> sigs{0, SIGUSR1, SIGKILL};
        int iret = 0;
        {
            signalset set;
            if (set.sethandler(sigs, componentfn) != -1) return 1;
            const auto& errs = set.get_errors();
            if (errs.size() != 2) return 2;
            if (errs.front().m_serr != "Failed to register signal handler for signal 0") return 3;
            if (errs.back().m_serr != "Failed to register signal handler for signal 9") return 4;
            if (errs.back().m_errno != EINVAL) return 5;
            if (currenthandler(SIGUSR1) != velka::signalset::signal_handler) return 6;
            if (set.unsethandler(SIGUSR2) != 0) return 7;  // never registered
            set.reset_errors();
            if (!set.get_errors().empty()) return 8;
        }
        // The destructor put the previous disposition back.
        if (currenthandler(SIGUSR1) != SIG_DFL) return 9;
        return iret;
    });
    ASSERT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
}

TEST(Unit_SignalSet, RegisteringTwiceKeepsTheFirstSavedDisposition) {
    int istatus = velka_test::run_in_child([] {
        signalset set;
        set.sethandler(SIGUSR1, componentfn);
        set.sethandler(SIGUSR1, programfn);
        set.unsethandler(SIGUSR1);
        return currenthandler(SIGUSR1) == SIG_DFL ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
}

TEST(Unit_SignalSet, DestroyingAnOlderSetLeavesTheNewestReceiving) {
    int istatus = velka_test::run_in_child([] {
        struct sigaction own;
        memset(&own, 0, sizeof(own));
        own.sa_handler = programfn;
        sigaction(SIGUSR1, &own, nullptr);
        signalset* polder = new signalset();
        signalset newer(SIGUSR1, componentfn);
        delete polder;
        raise(SIGUSR1);
        s_trace[s_itrace] = '\0';
        return std::string(s_trace) == "cp" ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
}
