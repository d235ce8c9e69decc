// Test helpers shared by the partition table tests: parted's own listing of a disk in bytes,
// and the library's listing compared with it field by field.
#ifndef VELKA_TEST_PARTEDLISTING_H
#define VELKA_TEST_PARTEDLISTING_H

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/utilities>

#include "velka_test.h"

namespace velka_test {

using velka::blkdev::partitioninfo;
using velka::utilities::utilities;

// parted's own listing of the disk in bytes: one vector of seven fields a partition, the
// closing ";" removed.
inline std::vector<std::vector<std::string>> partedbytes(const std::string& sdev) {
    std::string sout;
    velka_test::sh("parted -s -m " + utilities::shellquote(sdev) + " unit B print 2>/dev/null",
                   &sout);
    std::vector<std::vector<std::string>> vparts;
    std::string::size_type ipos = 0;
    int iline = 0;
    while (ipos < sout.size()) {
        std::string::size_type iend = sout.find('\n', ipos);
        if (iend == std::string::npos) iend = sout.size();
        std::string sline = sout.substr(ipos, iend - ipos);
        ipos = iend + 1;
        if (iline++ < 2 || sline.empty()) continue;
        if (sline.back() == ';') sline.pop_back();
        std::vector<std::string> vf;
        std::string::size_type ifield = 0;
        for (;;) {
            std::string::size_type icolon = sline.find(':', ifield);
            vf.push_back(sline.substr(ifield, icolon - ifield));
            if (icolon == std::string::npos) break;
            ifield = icolon + 1;
        }
        vf.resize(7);
        vparts.push_back(vf);
    }
    return vparts;
}

// A position as parted prints it by default (1049kB, 538MB, 512B) in bytes, with the size
// of one unit of its last digit.
inline bool tobytes(const std::string& s, double& dbytes, double& dunit) {
    static const std::pair<const char*, double> s_units[] = {
        {"TB", 1e12}, {"GB", 1e9}, {"MB", 1e6}, {"kB", 1e3}, {"B", 1}};
    for (const auto& u : s_units) {
        std::string ssuffix(u.first);
        if (s.size() > ssuffix.size() &&
            s.compare(s.size() - ssuffix.size(), ssuffix.size(), ssuffix) == 0) {
            std::string snum = s.substr(0, s.size() - ssuffix.size());
            dbytes = std::strtod(snum.c_str(), nullptr) * u.second;
            std::string::size_type idot = snum.find('.');
            dunit =
                u.second *
                (idot == std::string::npos ? 1 : std::pow(10.0, -double(snum.size() - idot - 1)));
            return true;
        }
    }
    return false;
}

// The library's listing against parted's listing in bytes, field by field.
inline void expect_same_listing(const std::vector<partitioninfo>& vlib,
                                const std::vector<std::vector<std::string>>& vbytes) {
    ASSERT_EQ(vlib.size(), vbytes.size());
    for (size_t i = 0; i < vlib.size(); ++i) {
        const auto& p = vlib[i];
        const auto& b = vbytes[i];
        SCOPED_TRACE("partition " + b[0]);
        EXPECT_EQ(utilities::itostr(p.m_partitionnum), b[0]);
        const std::string* slib[] = {&p.m_start, &p.m_end, &p.m_size};
        for (int j = 0; j < 3; ++j) {
            double dlib = 0, dunit = 0;
            ASSERT_TRUE(tobytes(*slib[j], dlib, dunit)) << *slib[j];
            double dref = std::strtod(b[j + 1].c_str(), nullptr);
            EXPECT_LE(std::fabs(dlib - dref), dunit) << *slib[j] << " against " << b[j + 1];
        }
        EXPECT_EQ(p.m_fstype, b[4]);
        EXPECT_EQ(p.m_name, b[5]);
        EXPECT_EQ(p.m_flags, b[6]);
    }
}

}  // namespace velka_test

#endif
