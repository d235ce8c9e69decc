// The volume groups section of velka-inventory. It only reads: vgs and lvs are asked for
// their reports with a field separator, and lines that do not hold the fields asked for are
// skipped. When the LVM tools are not installed the section says so once.
#include "inventory_lvm.h"
#include "inventory_common.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include <velka/logger>
#include <velka/utilities>

namespace {

using invtools::havetool;
using invtools::jsonstring;
using invtools::printable;

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "inventory_lvm.cpp";

struct volume {
    std::string sname;
    std::string ssegtype;  // linear, thin-pool, thin, ...
    std::string spool;     // the pool of a thin volume
    double dsizemib;
};

struct group {
    std::string sname;
    double dextentmib;
    unsigned long long ulltotal;
    unsigned long long ullfree;
    std::list<volume> lvolumes;
};

struct report {
    bool btools;
    std::list<group> lgroups;
};

// The "|"-separated fields of a report line, trimmed; empty when the count differs.
std::vector<std::string> fields(const std::string& sline, size_t ucount) {
    std::vector<std::string> v;
    size_t upos = 0;
    while (true) {
        size_t uend = sline.find('|', upos);
        v.push_back(utilities::trim(
            sline.substr(upos, uend == std::string::npos ? std::string::npos : uend - upos)));
        if (uend == std::string::npos) break;
        upos = uend + 1;
    }
    if (v.size() != ucount) v.clear();
    return v;
}

bool digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

report collect(velka::logger::source* plog) {
    report r{havetool("vgs") && havetool("lvs"), {}};
    if (!r.btools) {
        LOG(plog, s_file, "inventory::lvm", "the LVM tools vgs and lvs are not installed");
        return r;
    }
    std::list<std::string> llines;
    std::string sopts = " --noheadings --nosuffix --units m --separator '|' -o ";
    std::string scmd =
        "vgs" + sopts + "vg_name,vg_extent_size,vg_extent_count,vg_free_count 2>/dev/null";
    LOG(plog, s_file, "inventory::lvm", "volume groups read with " + scmd);
    if (utilities::popen(scmd, llines, 0) != 0) return r;
    for (const auto& sline : llines) {
        auto v = fields(sline, 4);
        if (v.empty() || v[0].empty() || !digits(v[2]) || !digits(v[3])) continue;
        r.lgroups.push_back(group{
            v[0], atof(v[1].c_str()), utilities::strtoul(v[2]), utilities::strtoul(v[3]), {}});
    }
    scmd = "lvs" + sopts + "vg_name,lv_name,segtype,pool_lv,lv_size 2>/dev/null";
    LOG(plog, s_file, "inventory::lvm", "logical volumes read with " + scmd);
    if (utilities::popen(scmd, llines, 0) != 0) return r;
    for (const auto& sline : llines) {
        auto v = fields(sline, 5);
        if (v.empty() || v[1].empty()) continue;
        for (auto& g : r.lgroups) {
            if (g.sname == v[0]) g.lvolumes.push_back(volume{v[1], v[2], v[3], atof(v[4].c_str())});
        }
    }
    return r;
}

std::string kind(const volume& vol) {
    if (vol.ssegtype == "thin-pool") return "thin pool";
    if (vol.ssegtype == "thin") return "thin volume in " + vol.spool;
    return vol.ssegtype;
}

std::string number(double d) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%.2f", d);
    return buf;
}

}  // namespace

void lvm_table(FILE* out, velka::logger::source* plogsrc) {
    report r = collect(plogsrc);
    fprintf(out, "\nVolume groups\n");
    if (!r.btools) {
        fprintf(out, "  (the LVM tools are not installed: volume groups unknown)\n");
        return;
    }
    if (r.lgroups.empty()) {
        fprintf(out, "  (none)\n");
        return;
    }
    fprintf(out, "  %-22s %12s %10s %10s %10s\n", "Group", "Extent size", "Total", "Free",
            "Allocated");
    for (const auto& g : r.lgroups) {
        fprintf(out, "  %-22s %8s MiB %10llu %10llu %10llu\n", g.sname.c_str(),
                number(g.dextentmib).c_str(), g.ulltotal, g.ullfree,
                g.ulltotal >= g.ullfree ? g.ulltotal - g.ullfree : 0ULL);
        for (const auto& vol : g.lvolumes)
            fprintf(out, "    %-20s %-28s %12s MiB\n", vol.sname.c_str(), kind(vol).c_str(),
                    number(vol.dsizemib).c_str());
    }
}

std::string lvm_json(velka::logger::source* plogsrc) {
    report r = collect(plogsrc);
    if (!r.btools) return "null";
    std::string s = "[";
    const char* sep = "\n    ";
    for (const auto& g : r.lgroups) {
        s += sep;
        s += "{\"name\": " + jsonstring(g.sname) +
             ", \"extent_size_mib\": " + number(g.dextentmib) +
             ", \"total_extents\": " + std::to_string(g.ulltotal) +
             ", \"free_extents\": " + std::to_string(g.ullfree) + ", \"allocated_extents\": " +
             std::to_string(g.ulltotal >= g.ullfree ? g.ulltotal - g.ullfree : 0ULL) +
             ", \"volumes\": [";
        const char* vsep = "";
        for (const auto& vol : g.lvolumes) {
            s += vsep;
            s += "{\"name\": " + jsonstring(vol.sname) + ", \"type\": " + jsonstring(vol.ssegtype) +
                 ", \"thin_pool\": " + (vol.ssegtype == "thin-pool" ? "true" : "false") +
                 ", \"thin\": " + (vol.ssegtype == "thin" ? "true" : "false") + ", \"pool\": " +
                 (vol.spool.empty() ? std::string("null") : jsonstring(vol.spool)) +
                 ", \"size_mib\": " + number(vol.dsizemib) + "}";
            vsep = ", ";
        }
        s += "]}";
        sep = ",\n    ";
    }
    return s + (r.lgroups.empty() ? "]" : "\n  ]");
}
