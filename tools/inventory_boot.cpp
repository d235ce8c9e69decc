// The boot and disk-health section of velka-inventory. It only reads: smartctl -H per disk
// and -A per ATA or USB disk, the kernel command line, dmidecode and the RAID tool's
// listings. A tool that is not installed is named once in the section. Each disk's smartctl
// object is its own, so the disks can be asked at the same time, a few at once.
#include "inventory_boot.h"
#include "inventory_common.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include <velka/detectraid>
#include <velka/lasterror>
#include <velka/pxeboot>
#include <velka/smartctl>
#include <velka/utilities>

namespace {

using invtools::jsonstring;
using invtools::printable;
using invtools::row;

using velka::utilities::utilities;

using diskhealth = bootfacts::diskhealth;
using raiddrive = bootfacts::raiddrive;

void addattr(velka::smartctl::param& p, void* arg) {
    auto* pd = static_cast<diskhealth*>(arg);
    pd->vattrs.push_back(bootfacts::attribute{p.get_id(), p.get_attrname(), p.get_value(),
                                              p.get_threshold(), p.get_rawval(), !p.is_healthy()});
    if (!p.is_healthy())
        pd->vfailing.push_back(std::to_string(p.get_id()) + " " + p.get_attrname());
}

// An NVMe namespace as /sys/block lists it: nvme{controller}n{namespace}, nothing else.
bool nvmenamespace(const std::string& s) {
    if (s.compare(0, 4, "nvme") != 0) return false;
    size_t n = s.find('n', 4);
    return n != std::string::npos && n > 4 && n + 1 < s.size() &&
           s.find_first_not_of("0123456789", 4) == n &&
           s.find_first_not_of("0123456789", n + 1) == std::string::npos;
}

// Whether smartctl -A can print an ATA attribute table for the sd disk: an ATA disk (its
// SCSI vendor is "ATA", as the ATA translation of libata and of SAS adapters reports it) or a
// disk behind a USB bridge (which smartctl may reach through ATA pass-through whatever vendor
// the bridge reports). A SCSI or SAS disk answers -A with its error counters, which hold no
// attribute, and an NVMe namespace with its health log: neither is asked.
bool attributetable(const std::string& sname) {
    std::string sdir = "/sys/block/" + sname;
    std::string svendor = invtools::attribute(sdir + "/device/vendor");
    char buf[PATH_MAX];
    ssize_t n = readlink(sdir.c_str(), buf, sizeof(buf) - 1);
    std::string starget(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return svendor == "ATA" || starget.find("/usb") != std::string::npos;
}

// smartctl -H for the disk, and -A when it can print an attribute table. bmissing when the
// shell did not find smartctl (exit status 127).
void smart(diskhealth& d, bool battrs, velka::logger::source* plogsrc, bool& bmissing) {
    velka::smartctl::smartctl disk(d.sdisk, plogsrc);
    disk.extractoverallhealth();
    bmissing = velka::last_command().m_istatus == 127;
    if (battrs) disk.extractparams();
    d.bverdict = disk.hasoverallverdict();
    d.boverall = disk.getoverallhealth();
    d.battrs = disk.attrhealthy();
    disk.for_each_attr(addattr, &d);
}

}  // namespace

bootfacts boot_collect(velka::logger::source* plogsrc, bool bconcurrent) {
    bootfacts f;
    // SMART: every sd disk and NVMe namespace of /sys/block.
    f.bsmartctl = true;
    std::vector<std::function<void()>> vsteps;
    std::vector<char> vmissing;
    {
        std::list<std::string> lblock;
        utilities::readdir("/sys/block", lblock);
        lblock.sort();
        for (const auto& sname : lblock) {
            bool bnvme = nvmenamespace(sname);
            if (sname.compare(0, 2, "sd") != 0 && !bnvme) continue;
            f.vdisks.push_back(diskhealth{"/dev/" + sname, false, false, true, {}, {}});
        }
        vmissing.assign(f.vdisks.size(), 0);
        for (size_t i = 0; i < f.vdisks.size(); ++i) {
            diskhealth* pd = &f.vdisks[i];
            char* pmissing = &vmissing[i];
            bool battrs =
                pd->sdisk.compare(0, 7, "/dev/sd") == 0 && attributetable(pd->sdisk.substr(5));
            vsteps.push_back([pd, battrs, plogsrc, pmissing] {
                bool bmissing = false;
                smart(*pd, battrs, plogsrc, bmissing);
                *pmissing = bmissing;
            });
        }
    }
    // Network boot, from the kernel command line; RAID: the platform's name, and on a
    // qualifying server the adapters' RAID-1 drives. First, as it is the slowest step.
    vsteps.insert(vsteps.begin(), [&f, plogsrc] {
        velka::pxeboot::pxeboot boot("/proc/cmdline", plogsrc);
        f.bpxe = boot.ispxeboot(f.sserver, f.sdir, f.sprotocol);
        std::string spassword;
        boot.getcredentials(f.suser, spassword);
        f.bpassword = !spassword.empty();
        f.bmegacli = access("/opt/MegaRAID/MegaCli/MegaCli64", X_OK) == 0;
        velka::bmr::platform raid(plogsrc);
        raid.set_platform_name();
        // The shell did not find dmidecode (exit status 127).
        f.bdmidecode = velka::last_command().m_istatus != 127;
        if (f.bdmidecode) {
            f.splatform = raid.get_platform_name();
            f.bqualifies = f.splatform.find("Cisco") != std::string::npos;
            if (f.bqualifies && f.bmegacli) {
                raid.set_platform_details();
                f.iadapters = raid.get_adp_count();
                int iadapter = f.iadapters;
                for (auto* pa : raid.get_adp_list()) {
                    --iadapter;  // highest adapter number first
                    for (auto* pv : pa->get_virt_list())
                        f.vraid1.push_back(raiddrive{iadapter, pv->get_targetid(),
                                                     pv->get_raid_type(),
                                                     pv->get_phy_list().size()});
                }
            }
        }
        for (const auto& s : raid.get_raidvg_disks()) f.vrootvg.push_back(s);
    });
    // A few disks at a time: one smartctl and its shell per disk at once would be hundreds of
    // processes on a shelf of a hundred disks.
    invtools::runsteps(vsteps, bconcurrent, invtools::poolsize() + 1);
    if (std::find(vmissing.begin(), vmissing.end(), 1) != vmissing.end()) {
        f.bsmartctl = false;
        f.vdisks.clear();
    }
    return f;
}

namespace {

std::string joined(const std::vector<std::string>& v, const char* ssep) {
    std::string s;
    for (const auto& e : v) s += (s.empty() ? "" : ssep) + e;
    return s;
}

std::string verdict(const diskhealth& d) {
    if (!d.bverdict) return "no SMART data";
    return d.boverall ? "PASSED" : "FAILED";
}

}  // namespace

void boot_table(FILE* out, const bootfacts& f) {
    fprintf(out, "\nDisk health (SMART)\n");
    if (!f.bsmartctl) {
        fprintf(out, "  smartctl is not installed: no SMART verdicts\n");
    } else if (f.vdisks.empty()) {
        fprintf(out, "  no sd or NVMe disks\n");
    } else {
        fprintf(out, "  %-22s %-13s %-11s %s\n", "Disk", "Verdict", "Attributes", "Failing");
        for (const auto& d : f.vdisks)
            fprintf(out, "  %-22s %-13s %-11s %s\n", d.sdisk.c_str(), verdict(d).c_str(),
                    d.vattrs.empty() ? "-"
                    : d.battrs       ? "healthy"
                                     : "unhealthy",
                    d.vfailing.empty() ? "-" : printable(joined(d.vfailing, ", ")).c_str());
    }
    std::string s = "\nNetwork boot\n";
    s += row(2, 22, "Network-booted", f.bpxe ? "yes" : "no");
    if (f.bpxe) {
        s += row(2, 22, "Protocol", f.sprotocol);
        s += row(2, 22, "Server", f.sserver);
        s += row(2, 22, "Directory", f.sdir);
        s += row(2, 22, "User", f.suser.empty() ? "-" : f.suser);
        s += row(2, 22, "Password", f.bpassword ? "given (not shown)" : "none");
    }
    s += "\nRAID for bare-metal recovery\n";
    if (!f.bdmidecode) {
        s += "  dmidecode is not installed: the platform is unknown\n";
    } else {
        s += row(2, 22, "Platform", f.splatform.empty() ? "unknown" : f.splatform);
        if (!f.bqualifies) {
            s += row(2, 22, "RAID adapters", "not examined on this platform");
        } else if (!f.bmegacli) {
            s += "  the RAID tool /opt/MegaRAID/MegaCli/MegaCli64 is not installed\n";
        } else {
            s += row(2, 22, "RAID adapters", std::to_string(f.iadapters));
            for (const auto& r : f.vraid1)
                s += "  adapter " + std::to_string(r.iadapter) + " target " +
                     std::to_string(r.itarget) + "  RAID-1 " + printable(r.sname) + ", " +
                     std::to_string(r.uidrives) + " drives\n";
        }
    }
    s += row(2, 22, "Root VG disks", f.vrootvg.empty() ? "-" : joined(f.vrootvg, " "));
    fputs(s.c_str(), out);
}

std::string boot_json(const bootfacts& f) {
    std::string s = ",\n  \"disk_health\": ";
    if (!f.bsmartctl) {
        s += "null";
    } else {
        std::vector<std::string> vhealth;
        for (const auto& d : f.vdisks) {
            std::string sd =
                "{\"disk\": " + jsonstring(d.sdisk) +
                ", \"smart_verdict\": " + (d.bverdict ? "true" : "false") + ", \"smart_passed\": " +
                (!d.bverdict  ? "null"
                 : d.boverall ? "true"
                              : "false") +
                ", \"attributes_healthy\": " + (d.battrs ? "true" : "false") + ", \"failing\": [";
            for (size_t i = 0; i < d.vfailing.size(); ++i)
                sd += (i ? ", " : "") + jsonstring(d.vfailing[i]);
            vhealth.push_back(sd + "]}");
        }
        s += invtools::jsonlines(vhealth, 4);
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

void boot_prom(const bootfacts& f, invtools::promtext& prom) {
    using invtools::labels;
    for (const auto& d : f.vdisks) {
        if (!d.bverdict) continue;
        prom.add("velka_smart_passed",
                 "SMART overall verdict of the disk as smartctl -H prints it: 1 passed, 0 failed.",
                 labels({{"device", invtools::kernelname(d.sdisk)}}), d.boverall ? 1 : 0);
    }
    // Each attribute's labels once; promtext groups the samples by metric name.
    for (const auto& d : f.vdisks) {
        for (const auto& a : d.vattrs) {
            std::string sl = labels({{"device", invtools::kernelname(d.sdisk)},
                                     {"id", std::to_string(a.uiid)},
                                     {"attribute", a.sname}});
            prom.add("velka_smart_attribute_value", "Normalised value of the ATA SMART attribute.",
                     sl, a.uivalue);
            prom.add("velka_smart_attribute_threshold",
                     "Failure threshold of the ATA SMART attribute.", sl, a.uithreshold);
            prom.add("velka_smart_attribute_raw_value", "Raw value of the ATA SMART attribute.", sl,
                     static_cast<double>(a.ullraw));
            prom.add("velka_smart_attribute_failing",
                     "1 when the attribute fails: a threshold other than 0 and the normalised "
                     "value at or below it.",
                     sl, a.bfailing ? 1 : 0);
        }
    }
}
