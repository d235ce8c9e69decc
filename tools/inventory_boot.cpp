// The boot and disk-health section of velka-inventory. It only reads: smartctl -H and -A per
// disk, the kernel command line, dmidecode and the RAID tool's listings. A tool that is not
// installed is named once in the section; the tools' own complaints on standard error are
// kept off the terminal.
#include "inventory_boot.h"
#include "inventory_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <velka/detectraid>
#include <velka/pxeboot>
#include <velka/smartctl>
#include <velka/utilities>

namespace {

using invtools::havetool;
using invtools::jsonstring;
using invtools::printable;

using velka::utilities::utilities;

struct diskhealth {
    std::string sdisk;
    bool boverall;
    bool battrs;
    std::vector<std::string> vfailing;  // "{id} {name}"
};

struct raiddrive {
    int iadapter;
    int itarget;
    std::string sname;
    size_t uidrives;
};

struct bootfacts {
    bool bsmartctl;
    std::vector<diskhealth> vdisks;
    bool bpxe;
    std::string sprotocol, sserver, sdir, suser;
    bool bpassword;
    bool bdmidecode, bmegacli;
    std::string splatform;
    bool bqualifies;
    int iadapters;
    std::vector<raiddrive> vraid1;
    std::vector<std::string> vrootvg;
};

// Standard error sent to /dev/null while the tools run (they print there through the shell).
class quietstderr {
public:
    quietstderr() : m_isaved(dup(2)) {
        int inull = open("/dev/null", O_WRONLY);
        if (inull >= 0) {
            dup2(inull, 2);
            close(inull);
        }
    }
    ~quietstderr() {
        if (m_isaved >= 0) {
            dup2(m_isaved, 2);
            close(m_isaved);
        }
    }
    quietstderr(const quietstderr&) = delete;
    quietstderr& operator=(const quietstderr&) = delete;

private:
    int m_isaved;
};

void failing(velka::smartctl::param& p, void* arg) {
    if (!p.is_healthy())
        static_cast<std::vector<std::string>*>(arg)->push_back(std::to_string(p.get_id()) + " " +
                                                               p.get_attrname());
}

bootfacts collectboot(velka::logger::source* plogsrc) {
    quietstderr quiet;
    bootfacts f;
    // SMART: every sd* disk of /sys/block.
    f.bsmartctl = havetool("smartctl");
    if (f.bsmartctl) {
        std::list<std::string> lblock;
        utilities::readdir("/sys/block", lblock);
        lblock.sort();
        for (const auto& sname : lblock) {
            if (sname.compare(0, 2, "sd") != 0) continue;
            velka::smartctl::smartctl disk("/dev/" + sname, plogsrc);
            disk.extractoverallhealth();
            disk.extractparams();
            diskhealth d{"/dev/" + sname, disk.getoverallhealth(), disk.attrhealthy(), {}};
            disk.for_each_attr(failing, &d.vfailing);
            f.vdisks.push_back(d);
        }
    }
    // Network boot, from the kernel command line.
    velka::pxeboot::pxeboot boot("/proc/cmdline", plogsrc);
    f.bpxe = boot.ispxeboot(f.sserver, f.sdir, f.sprotocol);
    std::string spassword;
    boot.getcredentials(f.suser, spassword);
    f.bpassword = !spassword.empty();
    // RAID: the platform's name, and on a qualifying server the adapters' RAID-1 drives.
    f.bdmidecode = havetool("dmidecode");
    f.bmegacli = access("/opt/MegaRAID/MegaCli/MegaCli64", X_OK) == 0;
    velka::bmr::platform raid(plogsrc);
    f.bqualifies = false;
    f.iadapters = 0;
    if (f.bdmidecode) {
        raid.set_platform_name();
        f.splatform = raid.get_platform_name();
        f.bqualifies = f.splatform.find("Cisco") != std::string::npos;
        if (f.bqualifies && f.bmegacli) {
            raid.set_platform_details();
            f.iadapters = raid.get_adp_count();
            int iadapter = f.iadapters;
            for (auto* pa : raid.get_adp_list()) {
                --iadapter;  // highest adapter number first
                for (auto* pv : pa->get_virt_list())
                    f.vraid1.push_back(raiddrive{iadapter, pv->get_targetid(), pv->get_raid_type(),
                                                 pv->get_phy_list().size()});
            }
        }
    }
    for (const auto& s : raid.get_raidvg_disks()) f.vrootvg.push_back(s);
    return f;
}

std::string joined(const std::vector<std::string>& v, const char* ssep) {
    std::string s;
    for (const auto& e : v) s += (s.empty() ? "" : ssep) + e;
    return s;
}

}  // namespace

void boot_table(FILE* out, velka::logger::source* plogsrc) {
    bootfacts f = collectboot(plogsrc);
    fprintf(out, "\nDisk health (SMART)\n");
    if (!f.bsmartctl) {
        fprintf(out, "  smartctl is not installed: no SMART verdicts\n");
    } else if (f.vdisks.empty()) {
        fprintf(out, "  no sd disks\n");
    } else {
        fprintf(out, "  %-22s %-9s %-11s %s\n", "Disk", "Verdict", "Attributes", "Failing");
        for (const auto& d : f.vdisks)
            fprintf(out, "  %-22s %-9s %-11s %s\n", d.sdisk.c_str(),
                    d.boverall ? "PASSED" : "not good", d.battrs ? "healthy" : "unhealthy",
                    d.vfailing.empty() ? "-" : printable(joined(d.vfailing, ", ")).c_str());
    }
    fprintf(out, "\nNetwork boot\n");
    if (!f.bpxe) {
        fprintf(out, "  %-22s %s\n", "Network-booted", "no");
    } else {
        fprintf(out, "  %-22s %s\n", "Network-booted", "yes");
        fprintf(out, "  %-22s %s\n", "Protocol", printable(f.sprotocol).c_str());
        fprintf(out, "  %-22s %s\n", "Server", printable(f.sserver).c_str());
        fprintf(out, "  %-22s %s\n", "Directory", printable(f.sdir).c_str());
        fprintf(out, "  %-22s %s\n", "User", f.suser.empty() ? "-" : printable(f.suser).c_str());
        fprintf(out, "  %-22s %s\n", "Password", f.bpassword ? "given (not shown)" : "none");
    }
    fprintf(out, "\nRAID for bare-metal recovery\n");
    if (!f.bdmidecode) {
        fprintf(out, "  dmidecode is not installed: the platform is unknown\n");
    } else {
        fprintf(out, "  %-22s %s\n", "Platform",
                f.splatform.empty() ? "unknown" : printable(f.splatform).c_str());
        if (!f.bqualifies) {
            fprintf(out, "  %-22s %s\n", "RAID adapters", "not examined on this platform");
        } else if (!f.bmegacli) {
            fprintf(out, "  the RAID tool /opt/MegaRAID/MegaCli/MegaCli64 is not installed\n");
        } else {
            fprintf(out, "  %-22s %d\n", "RAID adapters", f.iadapters);
            for (const auto& r : f.vraid1)
                fprintf(out, "  adapter %d target %d  RAID-1 %s, %zu drives\n", r.iadapter,
                        r.itarget, printable(r.sname).c_str(), r.uidrives);
        }
    }
    fprintf(out, "  %-22s %s\n", "Root VG disks",
            f.vrootvg.empty() ? "-" : printable(joined(f.vrootvg, " ")).c_str());
}

std::string boot_json(velka::logger::source* plogsrc) {
    bootfacts f = collectboot(plogsrc);
    std::string s = ",\n  \"disk_health\": ";
    if (!f.bsmartctl) {
        s += "null";
    } else {
        s += "[";
        const char* sep = "\n";
        for (const auto& d : f.vdisks) {
            s += sep;
            s += "    {\"disk\": " + jsonstring(d.sdisk) +
                 ", \"smart_passed\": " + (d.boverall ? "true" : "false") +
                 ", \"attributes_healthy\": " + (d.battrs ? "true" : "false") + ", \"failing\": [";
            for (size_t i = 0; i < d.vfailing.size(); ++i)
                s += (i ? ", " : "") + jsonstring(d.vfailing[i]);
            s += "]}";
            sep = ",\n";
        }
        s += f.vdisks.empty() ? "]" : "\n  ]";
    }
    s += ",\n  \"network_boot\": {\"booted\": ";
    s += f.bpxe ? "true" : "false";
    if (f.bpxe)
        s += ", \"protocol\": " + jsonstring(f.sprotocol) +
             ", \"server\": " + jsonstring(f.sserver) + ", \"directory\": " + jsonstring(f.sdir) +
             ", \"user\": " + (f.suser.empty() ? std::string("null") : jsonstring(f.suser)) +
             ", \"password_given\": " + (f.bpassword ? "true" : "false");
    s += "},\n  \"raid\": {\"platform\": ";
    s += f.bdmidecode ? jsonstring(f.splatform) : "null";
    s += ", \"qualifies\": ";
    s += f.bqualifies ? "true" : "false";
    s += ", \"raid_tool\": ";
    s += f.bmegacli ? "true" : "false";
    s += ", \"adapters\": " + std::to_string(f.iadapters) + ", \"raid1_drives\": [";
    for (size_t i = 0; i < f.vraid1.size(); ++i)
        s += std::string(i ? ", " : "") + "{\"adapter\": " + std::to_string(f.vraid1[i].iadapter) +
             ", \"target\": " + std::to_string(f.vraid1[i].itarget) +
             ", \"name\": " + jsonstring(f.vraid1[i].sname) +
             ", \"drives\": " + std::to_string(f.vraid1[i].uidrives) + "}";
    s += "], \"root_vg_disks\": [";
    for (size_t i = 0; i < f.vrootvg.size(); ++i) s += (i ? ", " : "") + jsonstring(f.vrootvg[i]);
    s += "]}";
    return s;
}
