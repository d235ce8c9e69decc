// The name:value settings file: loading, getters and setters, appending updates and
// unlinking, with the lines it logs.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/cfgfile>
#include <velka/logger>

#include "internal/cfgfile.h"

#include "logcapture.h"
#include "velka_test.h"

using velka::cfgfile::cfgfile;
using velka_test::logcapture;
using velka_test::tempdir;

namespace {

bool acceptall(velka::logger::log_level) {
    return true;
}

// The texts of the logged lines, after the level name.
std::vector<std::string> messages(const std::string& slog) {
    std::vector<std::string> lmsgs;
    std::ifstream ifs(slog.c_str());
    std::string sline;
    while (std::getline(ifs, sline)) {
        size_t upos = sline.find("  ERR ");
        lmsgs.push_back(upos == std::string::npos ? sline : sline.substr(upos + 6));
    }
    return lmsgs;
}

const std::string s_load = "cfgfile.cpp::cfgfile::cfgfile( )  ";
const std::string s_update = "cfgfile.cpp::cfgfile::update( )  ";

}  // namespace

TEST(Unit_CfgFile, LoadsFieldsAndLogsEachOne) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    std::string sbasic = velka_test::fixture("cfgfile/basic.cfg");
    std::string sspaced = velka_test::fixture("cfgfile/spaced.cfg");
    {
        velka::logger::core c(64);
        c.add_sink(velka::logger::FILE_SINK, slog);
        velka::logger::source src(&c, acceptall);
        cfgfile basic(sbasic, &src);
        int ivalue = -1;
        std::string svalue;
        EXPECT_EQ(basic.getint("a", ivalue), 0);
        EXPECT_EQ(ivalue, 1);
        EXPECT_EQ(basic.getstring("b", svalue), 0);
        EXPECT_EQ(svalue, "x:y");
        EXPECT_EQ(basic.getint("b", ivalue), 0);
        EXPECT_EQ(ivalue, 0);
        long lvalue = -1;
        EXPECT_EQ(basic.getlong("a", lvalue), 0);
        EXPECT_EQ(lvalue, 1);
        errno = 0;
        EXPECT_EQ(basic.getstring("c", svalue), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(svalue, "x:y");

        cfgfile spaced(sspaced, nullptr);
        EXPECT_EQ(spaced.getstring("size", svalue), 0);
        EXPECT_EQ(svalue, "");
        EXPECT_EQ(spaced.getint("size", ivalue), 0);
        EXPECT_EQ(ivalue, 0);
        EXPECT_EQ(spaced.getstring("name", svalue), 0);
        EXPECT_EQ(svalue, "last");
        EXPECT_EQ(spaced.getstring("10", svalue), -1);

        cfgfile missing(dir / "absent.cfg", &src);
        errno = 0;
        EXPECT_EQ(missing.getstring("a", svalue), -1);
        EXPECT_EQ(errno, ENOENT);
        cfgfile directory(dir.path(), &src);
        EXPECT_EQ(directory.getint("a", ivalue), -1);
    }
    std::vector<std::string> expect{
        s_load + sbasic,
        s_load + sbasic + " found a field a with a value of 1",
        s_load + sbasic + " found a field b with a value of x:y",
        s_load + dir / "absent.cfg",
        s_load + dir / "absent.cfg" + " stat failed with error " + strerror(ENOENT),
        s_load + dir.path(),
        s_load + dir.path() + " is not a regular file",
    };
    EXPECT_EQ(messages(slog), expect);
}

TEST(Unit_CfgFile, UpdateAppendsAndUnlinkStartsAfresh) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    std::string scfg = dir / "new.cfg";
    {
        velka::logger::core c(64);
        c.add_sink(velka::logger::FILE_SINK, slog);
        velka::logger::source src(&c, acceptall);
        cfgfile cfg(scfg, &src);
        cfg.setint("n", 5);
        cfg.update();
        EXPECT_EQ(velka_test::slurp(scfg), "n:5\n");
        cfg.setlong("big", 1234567890123L);
        cfg.setstring("s", "text");
        cfg.setint("n", -6);
        cfg.update();
        EXPECT_EQ(velka_test::slurp(scfg), "n:5\nbig:1234567890123\nn:-6\ns:text\n");
        cfgfile again(scfg, nullptr);
        int ivalue = 0;
        EXPECT_EQ(again.getint("n", ivalue), 0);
        EXPECT_EQ(ivalue, -6);
        // A removed field comes back from the older lines unless the file is unlinked.
        EXPECT_EQ(again.delparam("s"), 0);
        errno = 0;
        EXPECT_EQ(again.delparam("s"), -1);
        EXPECT_EQ(errno, ENOENT);
        again.update();
        std::string svalue;
        EXPECT_EQ(cfgfile(scfg, nullptr).getstring("s", svalue), 0);
        EXPECT_EQ(again.unlink(), 0);
        again.update();
        EXPECT_EQ(velka_test::slurp(scfg), "big:1234567890123\nn:-6\n");
        EXPECT_EQ(cfgfile(scfg, nullptr).getstring("s", svalue), -1);
        again.reset();
        EXPECT_EQ(again.getint("n", ivalue), -1);
        EXPECT_EQ(again.unlink(), 0);
        errno = 0;
        EXPECT_EQ(again.unlink(), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    std::vector<std::string> lmsgs = messages(slog);
    ASSERT_EQ(lmsgs.size(), 6u);
    EXPECT_EQ(lmsgs[0], s_load + scfg);
    EXPECT_EQ(lmsgs[1], s_load + scfg + " stat failed with error " + strerror(ENOENT));
    EXPECT_EQ(lmsgs[2], s_update + scfg + " appending entry n:5");
    EXPECT_EQ(lmsgs[3], s_update + scfg + " appending entry big:1234567890123");
    EXPECT_EQ(lmsgs[5], s_update + scfg + " appending entry s:text");
}

// A field is kept only when it reads back as itself: what a setter accepts comes back from the
// file alone and unchanged; a refusal is logged and leaves the map (and the file) as it was.
TEST(Unit_CfgFile, SettersRefuseFieldsThatWouldNotReadBack) {
    tempdir dir;
    const std::vector<std::pair<std::string, std::string>> lrefused = {
        {"description", "lab box\nadmin:1"},
        {"d", "lab box"},
        {"d", "a\x01"},
        {"a:b", "x"},
        {"two words", "x"}};
    const std::map<std::string, std::string> mkept = {{"url", "http://h:80/p"}, {"empty", ""}};
    {
        logcapture log;
        cfgfile cfg(dir / "refuse.cfg", log.src());
        for (const auto& kv : lrefused) EXPECT_EQ(cfg.setstring(kv.first, kv.second), -1);
        for (const auto& kv : mkept) EXPECT_EQ(cfg.setstring(kv.first, kv.second), 0);
        EXPECT_EQ(cfg.setint("n m", 1), -1);
        EXPECT_EQ(log.count_containing(" refused field "), 6u);
        cfg.update();
    }
    std::istringstream in(velka_test::slurp(dir / "refuse.cfg"));
    std::map<std::string, std::string> mread;
    velka::cfgfile::parsefields(in, mread, nullptr, "");
    EXPECT_EQ(mread, mkept);
}
