// The platform section of velka-inventory. Memory comes from free, the processor count from
// /proc/cpuinfo, the firmware type from /sys/firmware, link speeds from ethtool, all through
// velka::platform. The interface names are the entries of /sys/class/net, the kernel's own
// list that ifconfig -a prints too: platform::getnwintfxlist waits a fixed second for
// ifconfig's output, longer than every other query of the inventory together, so it is only
// asked when /sys/class/net cannot be read. Names are filtered as getnwintfxlist filters them
// (no vdsm dummy bridge).
#include "inventory_platform.h"
#include "inventory_common.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <velka/lasterror>
#include <velka/platform>
#include <velka/utilities>

namespace {

using invtools::jsonstring;
using invtools::printable;
using invtools::row;

using velka::logger::LOG;
using velka::platform::platform;
using velka::utilities::utilities;

const char* const s_file = "inventory_platform.cpp";
const char* const s_sysnet = "/sys/class/net";

std::list<std::string> interfacenames() {
    std::list<std::string> lentries, lnames;
    utilities::readdir(s_sysnet, lentries);
    lentries.sort();
    for (const auto& s : lentries) {
        // Interfaces are directories (links to them); bonding_masters and the like are files.
        if (s.empty() || s[0] == '.' || !utilities::isdir(std::string(s_sysnet) + "/" + s))
            continue;
        if (s.find("vdsmdum") != std::string::npos) continue;
        lnames.push_back(s);
    }
    if (lnames.empty()) platform::getnwintfxlist(lnames);
    return lnames;
}

// Whether the command this thread ran last found stool: the shell reports a tool it did not
// find with exit status 127, or, as the first stage of a pipeline, only on standard error.
bool notfound(const std::string& stool) {
    velka::failure c = velka::last_command();
    return c.m_istatus == 127 || c.m_serr.find(" " + stool + ": not found") != std::string::npos;
}

}  // namespace

platformfacts platform_collect(velka::logger::source* plogsrc, bool bconcurrent) {
    platformfacts f;
    std::atomic<bool> bnofree(false), bnoethtool(false);
    f.uicores = platform::get_numcpucores();
    f.befi = platform::isEFIfirmware();
    // The two memory queries and the link speeds do not depend on each other.
    std::vector<std::function<void()>> vsteps;
    vsteps.push_back([&f, &bnofree] {
        f.ultotalmem = platform::get_totalmemory();
        if (notfound("free")) bnofree = true;
    });
    vsteps.push_back([&f] { f.ulfreemem = platform::get_freememory(); });
    std::list<std::string> lnames = interfacenames();
    for (const auto& sname : lnames) {
        f.linterfaces.push_back(platformfacts::interface{sname, false, 0});
        platformfacts::interface* pintf = &f.linterfaces.back();
        vsteps.push_back([pintf, &bnoethtool] {
            pintf->bspeed =
                platform::get_link_speed(pintf->sname, pintf->ulspeed) == 0 && pintf->ulspeed;
            if (notfound("ethtool")) bnoethtool = true;
        });
    }
    invtools::runsteps(vsteps, bconcurrent);
    if (bnofree) f.lmissing.push_back({"free", "memory sizes"});
    if (bnoethtool) f.lmissing.push_back({"ethtool", "link speeds"});
    LOG(plogsrc, s_file, "inventory::platform",
        "total memory " + utilities::ultostr(f.ultotalmem) + " MiB, free memory " +
            utilities::ultostr(f.ulfreemem) + " MiB, " + utilities::uitostr(f.uicores) +
            " processor cores, firmware " + (f.befi ? "EFI" : "BIOS"));
    for (const auto& intf : f.linterfaces)
        LOG(plogsrc, s_file, "inventory::platform",
            "interface " + intf.sname + " link speed " +
                (intf.bspeed ? utilities::ultostr(intf.ulspeed) + " Mb/s" : "unknown"));
    f.bok = !bnofree && f.ultotalmem > 0 && !lnames.empty();
    return f;
}

void platform_table(FILE* out, const platformfacts& f) {
    std::string s;
    for (const auto& m : f.lmissing)
        s += "Note: " + m.first + " is not installed: " + m.second + " unknown\n";
    if (!f.lmissing.empty()) s += "\n";
    s += "Platform\n";
    s += row(2, 22, "Total memory", utilities::ultostr(f.ultotalmem) + " MiB");
    s += row(2, 22, "Free memory", utilities::ultostr(f.ulfreemem) + " MiB");
    s += row(2, 22, "Processor cores", utilities::uitostr(f.uicores));
    s += row(2, 22, "Firmware", f.befi ? "EFI" : "BIOS");
    s += "\nNetwork interfaces\n";
    s += row(2, 22, "Interface", "Link speed");
    for (const auto& intf : f.linterfaces)
        s += row(2, 22, intf.sname, intf.bspeed ? utilities::ultostr(intf.ulspeed) + " Mb/s" : "-");
    s += "\n";
    fputs(s.c_str(), out);
}

std::string platform_json(const platformfacts& f) {
    std::string s = "{\n    \"total_memory_mib\": " + utilities::ultostr(f.ultotalmem) +
                    ",\n    \"free_memory_mib\": " + utilities::ultostr(f.ulfreemem) +
                    ",\n    \"cpu_cores\": " + utilities::uitostr(f.uicores) +
                    ",\n    \"firmware\": \"" + (f.befi ? "EFI" : "BIOS") +
                    "\",\n    \"interfaces\": ";
    std::vector<std::string> vinterfaces;
    for (const auto& intf : f.linterfaces)
        vinterfaces.push_back(
            "{\"name\": " + jsonstring(intf.sname) + ", \"link_speed_mbps\": " +
            (intf.bspeed ? utilities::ultostr(intf.ulspeed) : std::string("null")) + "}");
    s += invtools::jsonlines(vinterfaces, 6) + ",\n    \"missing_tools\": [";
    const char* sep = "";
    for (const auto& m : f.lmissing) {
        s += sep;
        s += "{\"tool\": " + jsonstring(m.first) + ", \"unknown\": " + jsonstring(m.second) + "}";
        sep = ", ";
    }
    return s + "]\n  }";
}
