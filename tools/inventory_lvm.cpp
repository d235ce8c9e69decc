// The volume groups section of velka-inventory. It only reads: vgs, lvs and pvs are asked for
// their reports in bytes with a field separator, and lines that do not hold the fields asked
// for are skipped. When the LVM tools are not installed the section says so once. LVM needs
// device-mapper in the kernel only to activate volumes; the reports read the metadata on the
// disks and work without it.
#include "inventory_lvm.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include <velka/lasterror>
#include <velka/logger>
#include <velka/utilities>

namespace {

using invtools::jsonnumber;
using invtools::jsonstring;
using invtools::printable;

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "inventory_lvm.cpp";
const double s_mib = 1048576.0;

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

// A number of the report; NaN for an empty field (lvs leaves data_percent empty where it
// does not apply).
double number(const std::string& s) {
    return s.empty() ? NAN : atof(s.c_str());
}

// {tool} --noheadings --nosuffix --units b --separator '|' -o {fields}: the report's lines,
// false when the tool failed; bmissing when the shell did not find it.
bool report(const std::string& stool,
            const std::string& sfields,
            std::list<std::string>& llines,
            velka::logger::source* plog,
            bool& bmissing) {
    std::string scmd =
        stool + " --noheadings --nosuffix --units b --separator '|' -o " + sfields + " 2>/dev/null";
    LOG(plog, s_file, "inventory::lvm", "reading " + scmd);
    std::string sout, serr;
    bool bok = utilities::system(scmd, sout, serr) == 0;
    utilities::splitlines(sout, llines);
    bmissing = !bok && velka::last_error().m_istatus == 127;
    if (!bok && !bmissing) LOG(plog, s_file, "inventory::lvm", stool + " failed");
    return bok;
}

std::string kind(const lvmreport::volume& vol) {
    if (vol.ssegtype == "thin-pool") return "thin pool";
    if (vol.ssegtype == "thin") return "thin volume in " + vol.spool;
    return vol.ssegtype;
}

// The group's allocated extents; 0 when vgs reports more free extents than there are.
unsigned long long allocated(const lvmreport::group& g) {
    return g.ulltotal >= g.ullfree ? g.ulltotal - g.ullfree : 0ULL;
}

std::string mib(double dbytes) {
    return jsonnumber(dbytes / s_mib);
}

// lvs' percentages carry two decimals: the ratio keeps four, without the binary residue of
// a division (3.12 % is 0.0312, not 0.031200000000000002).
double ratio(double dpercent) {
    return std::round(dpercent * 100.0) / 10000.0;
}

std::string percent(double d) {
    return std::isfinite(d) ? jsonnumber(d) + " %" : std::string("-");
}

}  // namespace

lvmreport lvm_collect(velka::logger::source* plog, bool bconcurrent) {
    lvmreport r;
    std::list<std::string> lvgs, llvs, lpvs;
    bool bvgs = false, blvs = false, bpvs = false;
    bool bmissing[3] = {false, false, false};
    invtools::runsteps(
        {[&] {
             bvgs = report("vgs",
                           "vg_name,vg_extent_size,vg_extent_count,vg_free_count,vg_size,vg_free",
                           lvgs, plog, bmissing[0]);
         },
         [&] {
             blvs = report("lvs",
                           "vg_name,lv_name,segtype,pool_lv,lv_size,data_percent,metadata_percent",
                           llvs, plog, bmissing[1]);
         },
         [&] { bpvs = report("pvs", "pv_name,vg_name,pv_size,pv_free", lpvs, plog, bmissing[2]); }},
        bconcurrent);
    // A tool the shell did not find (exit status 127) stands for the LVM tools not installed.
    r.btools = !bmissing[0] && !bmissing[1] && !bmissing[2];
    if (!r.btools) {
        LOG(plog, s_file, "inventory::lvm", "the LVM tools vgs, lvs and pvs are not installed");
        return r;
    }
    r.bok = bvgs && blvs && bpvs;
    for (const auto& sline : lvgs) {
        auto v = fields(sline, 6);
        if (v.empty() || v[0].empty() || !digits(v[2]) || !digits(v[3])) continue;
        r.lgroups.push_back(lvmreport::group{v[0],
                                             number(v[1]),
                                             utilities::strtoul(v[2]),
                                             utilities::strtoul(v[3]),
                                             number(v[4]),
                                             number(v[5]),
                                             {}});
    }
    for (const auto& sline : llvs) {
        auto v = fields(sline, 7);
        if (v.empty() || v[1].empty()) continue;
        for (auto& g : r.lgroups) {
            if (g.sname == v[0])
                g.lvolumes.push_back(
                    lvmreport::volume{v[1], v[2], v[3], number(v[4]), number(v[5]), number(v[6])});
        }
    }
    for (const auto& sline : lpvs) {
        auto v = fields(sline, 4);
        if (v.empty() || v[0].empty()) continue;
        r.lphysical.push_back(lvmreport::physical{v[0], v[1], number(v[2]), number(v[3])});
    }
    return r;
}

void lvm_table(FILE* out, const lvmreport& r) {
    std::string s = "\nVolume groups\n";
    if (!r.btools) {
        fprintf(out, "%s  (the LVM tools are not installed: volume groups unknown)\n", s.c_str());
        return;
    }
    char buf[256];
    if (r.lgroups.empty()) {
        s += "  (none)\n";
    } else {
        snprintf(buf, sizeof(buf), "  %-22s %12s %10s %10s %10s\n", "Group", "Extent size", "Total",
                 "Free", "Allocated");
        s += buf;
    }
    for (const auto& g : r.lgroups) {
        s += "  " + printable(g.sname);
        if (g.sname.size() < 22) s.append(22 - g.sname.size(), ' ');
        snprintf(buf, sizeof(buf), " %8s MiB %10llu %10llu %10llu\n", mib(g.dextentbytes).c_str(),
                 g.ulltotal, g.ullfree, allocated(g));
        s += buf;
        for (const auto& vol : g.lvolumes) {
            s += "    " + printable(vol.sname);
            if (vol.sname.size() < 20) s.append(20 - vol.sname.size(), ' ');
            std::string skind = printable(kind(vol));
            s += " " + skind;
            if (skind.size() < 28) s.append(28 - skind.size(), ' ');
            snprintf(buf, sizeof(buf), " %12s MiB", mib(vol.dsizebytes).c_str());
            s += buf;
            if (vol.ssegtype == "thin-pool")
                s += "  data " + percent(vol.ddatapercent) + ", metadata " +
                     percent(vol.dmetapercent);
            s += "\n";
        }
    }
    s += "\nPhysical volumes\n";
    if (r.lphysical.empty()) s += "  (none)\n";
    for (const auto& pv : r.lphysical) {
        s += invtools::row(2, 22, pv.sdevice,
                           "group " + (pv.sgroup.empty() ? std::string("-") : pv.sgroup) +
                               ", size " + mib(pv.dsizebytes) + " MiB, free " + mib(pv.dfreebytes) +
                               " MiB");
    }
    fputs(s.c_str(), out);
}

std::string lvm_json(const lvmreport& r) {
    if (!r.btools) return "null";
    std::vector<std::string> vgroups;
    for (const auto& g : r.lgroups) {
        std::string s = "{\"name\": " + jsonstring(g.sname) +
                        ", \"extent_size_mib\": " + mib(g.dextentbytes) +
                        ", \"total_extents\": " + std::to_string(g.ulltotal) +
                        ", \"free_extents\": " + std::to_string(g.ullfree) +
                        ", \"allocated_extents\": " + std::to_string(allocated(g)) +
                        ", \"size_bytes\": " + jsonnumber(g.dsizebytes, 0) +
                        ", \"free_bytes\": " + jsonnumber(g.dfreebytes, 0) + ", \"volumes\": [";
        const char* vsep = "";
        for (const auto& vol : g.lvolumes) {
            bool bpool = vol.ssegtype == "thin-pool";
            s += vsep;
            s += "{\"name\": " + jsonstring(vol.sname) + ", \"type\": " + jsonstring(vol.ssegtype) +
                 ", \"thin_pool\": " + (bpool ? "true" : "false") +
                 ", \"thin\": " + (vol.ssegtype == "thin" ? "true" : "false") + ", \"pool\": " +
                 (vol.spool.empty() ? std::string("null") : jsonstring(vol.spool)) +
                 ", \"size_mib\": " + mib(vol.dsizebytes);
            if (bpool)
                s += ", \"data_percent\": " + jsonnumber(vol.ddatapercent) +
                     ", \"metadata_percent\": " + jsonnumber(vol.dmetapercent);
            s += "}";
            vsep = ", ";
        }
        vgroups.push_back(s + "]}");
    }
    return invtools::jsonlines(vgroups, 4);
}

std::string lvm_pvjson(const lvmreport& r) {
    if (!r.btools) return "null";
    std::vector<std::string> vpvs;
    for (const auto& pv : r.lphysical)
        vpvs.push_back("{\"device\": " + jsonstring(pv.sdevice) + ", \"group\": " +
                       (pv.sgroup.empty() ? std::string("null") : jsonstring(pv.sgroup)) +
                       ", \"size_bytes\": " + jsonnumber(pv.dsizebytes, 0) +
                       ", \"free_bytes\": " + jsonnumber(pv.dfreebytes, 0) + "}");
    return invtools::jsonlines(vpvs, 4);
}

void lvm_prom(const lvmreport& r, invtools::promtext& prom) {
    using invtools::labels;
    for (const auto& g : r.lgroups) {
        std::string sl = labels({{"vg", g.sname}});
        prom.add("velka_volume_group_size_bytes", "Size of the LVM volume group.", sl,
                 g.dsizebytes);
        prom.add("velka_volume_group_free_bytes", "Unallocated space of the LVM volume group.", sl,
                 g.dfreebytes);
    }
    for (const auto& g : r.lgroups) {
        for (const auto& vol : g.lvolumes) {
            if (vol.ssegtype != "thin-pool") continue;
            std::string sl = labels({{"vg", g.sname}, {"lv", vol.sname}});
            prom.add("velka_thin_pool_data_used_ratio",
                     "Share of the thin pool's data space in use (0 to 1).", sl,
                     ratio(vol.ddatapercent));
            prom.add("velka_thin_pool_metadata_used_ratio",
                     "Share of the thin pool's metadata space in use (0 to 1).", sl,
                     ratio(vol.dmetapercent));
        }
    }
    for (const auto& pv : r.lphysical) {
        std::string sl = labels({{"device", invtools::kernelname(pv.sdevice)}, {"vg", pv.sgroup}});
        prom.add("velka_physical_volume_size_bytes", "Size of the LVM physical volume.", sl,
                 pv.dsizebytes);
        prom.add("velka_physical_volume_free_bytes", "Unallocated space of the physical volume.",
                 sl, pv.dfreebytes);
    }
}
