// velka-inventory: prints what the library finds out about this host. It only reads: no
// file, device or setting of the machine is changed.
//
//   velka-inventory [--json]
//   velka-inventory [--json] --mounts FILE
//   velka-inventory [--json] --pci [TABLE]
//   either form with --log FILE: what the command does is logged to FILE (appended), through
//   a logging core with a file sink only, so the logger writes nothing to the console. When
//   FILE cannot be opened, or a line could not be written to it, the command says so and
//   exits with 1.
//
// With --mounts, it shows the entries of a mount-path configuration file instead: for each
// entry that is mounted, whether its mount path carries a valid location stamp and which
// location and block devices the stamps record.
//
// With --pci, it lists every PCI function with its ids, class and the kernel modules that the
// module table TABLE names for it (modules.alias format, or modules.pcimap for a name ending
// in "pcimap"; default: the running kernel's modules.alias, else the newest installed
// kernel's). The default inventory shows a short PCI section.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <utility>

#include <velka/logger>
#include <velka/mntconfig>
#include <velka/mnttab>
#include <velka/platform>
#include <velka/scoped_ptr>
#include <velka/utilities>

#include "inventory_boot.h"
#include "inventory_common.h"
#include "inventory_disks.h"
#include "inventory_lvm.h"
#include "inventory_pci.h"

namespace {

using invtools::havetool;
using invtools::jsonstring;
using invtools::printable;

using velka::logger::LOG;
using velka::platform::platform;
using velka::utilities::utilities;

const char* const s_file = "velka-inventory.cpp";
// Where the command and the managers it builds log; null without --log.
velka::logger::source* s_plogsrc = nullptr;

struct interface {
    std::string sname;
    bool bspeed;
    unsigned long ulspeed;
};

struct inventory {
    unsigned long ultotalmem;
    unsigned long ulfreemem;
    unsigned int uicores;
    bool befi;
    std::list<interface> linterfaces;
    // Tools the inventory runs that are not installed, each with what is unknown without it.
    std::list<std::pair<std::string, std::string>> lmissing;
};

inventory collect() {
    inventory inv;
    bool bfree = havetool("free"), bifconfig = havetool("ifconfig"), bethtool = havetool("ethtool");
    if (!bfree) inv.lmissing.push_back({"free", "memory sizes"});
    if (!bifconfig) inv.lmissing.push_back({"ifconfig", "network interfaces"});
    if (!bethtool) inv.lmissing.push_back({"ethtool", "link speeds"});
    inv.ultotalmem = bfree ? platform::get_totalmemory() : 0;
    inv.ulfreemem = bfree ? platform::get_freememory() : 0;
    inv.uicores = platform::get_numcpucores();
    inv.befi = platform::isEFIfirmware();
    LOG(s_plogsrc, s_file, "inventory::collect",
        "total memory " + utilities::ultostr(inv.ultotalmem) + " MiB, free memory " +
            utilities::ultostr(inv.ulfreemem) + " MiB, " + utilities::uitostr(inv.uicores) +
            " processor cores, firmware " + (inv.befi ? "EFI" : "BIOS"));
    std::list<std::string> lnames;
    if (bifconfig) platform::getnwintfxlist(lnames);
    for (const auto& sname : lnames) {
        if (sname.empty()) continue;
        interface intf {
            sname, false, 0
        };
        intf.bspeed =
            bethtool && platform::get_link_speed(sname, intf.ulspeed) == 0 && intf.ulspeed > 0;
        LOG(s_plogsrc, s_file, "inventory::collect",
            "interface " + sname + " link speed " +
                (intf.bspeed ? utilities::ultostr(intf.ulspeed) + " Mb/s" : "unknown"));
        inv.linterfaces.push_back(intf);
    }
    return inv;
}

void printjson(const inventory& inv) {
    printf("{\n  \"platform\": {\n");
    printf("    \"total_memory_mib\": %lu,\n", inv.ultotalmem);
    printf("    \"free_memory_mib\": %lu,\n", inv.ulfreemem);
    printf("    \"cpu_cores\": %u,\n", inv.uicores);
    printf("    \"firmware\": \"%s\",\n", inv.befi ? "EFI" : "BIOS");
    printf("    \"interfaces\": [");
    const char* sep = "\n";
    for (const auto& intf : inv.linterfaces) {
        printf("%s      {\"name\": %s, \"link_speed_mbps\": ", sep, jsonstring(intf.sname).c_str());
        if (intf.bspeed)
            printf("%lu}", intf.ulspeed);
        else
            printf("null}");
        sep = ",\n";
    }
    printf("%s],\n", inv.linterfaces.empty() ? "" : "\n    ");
    printf("    \"missing_tools\": [");
    sep = "";
    for (const auto& m : inv.lmissing) {
        printf("%s{\"tool\": %s, \"unknown\": %s}", sep, jsonstring(m.first).c_str(),
               jsonstring(m.second).c_str());
        sep = ", ";
    }
    printf("]\n  },\n  \"pci\": %s", pci_json("", s_plogsrc).c_str());
    printf(",\n  \"disks\": %s", disks_json(s_plogsrc).c_str());
    printf(",\n  \"volume_groups\": %s", lvm_json(s_plogsrc).c_str());
    printf("%s\n}\n", boot_json(s_plogsrc).c_str());
}

void printtable(const inventory& inv) {
    for (const auto& m : inv.lmissing)
        printf("Note: %s is not installed: %s unknown\n", m.first.c_str(), m.second.c_str());
    if (!inv.lmissing.empty()) printf("\n");
    printf("Platform\n");
    printf("  %-22s %lu MiB\n", "Total memory", inv.ultotalmem);
    printf("  %-22s %lu MiB\n", "Free memory", inv.ulfreemem);
    printf("  %-22s %u\n", "Processor cores", inv.uicores);
    printf("  %-22s %s\n", "Firmware", inv.befi ? "EFI" : "BIOS");
    printf("\nNetwork interfaces\n");
    printf("  %-22s %s\n", "Interface", "Link speed");
    for (const auto& intf : inv.linterfaces) {
        std::string sspeed = intf.bspeed ? utilities::ultostr(intf.ulspeed) + " Mb/s" : "-";
        printf("  %-22s %s\n", intf.sname.c_str(), sspeed.c_str());
    }
    printf("\n");
    pci_table(stdout, "", false, s_plogsrc);
    disks_table(stdout, s_plogsrc);
    lvm_table(stdout, s_plogsrc);
    boot_table(stdout, s_plogsrc);
}

// ---- Mount-path configuration file (--mounts) ----

struct mountpath {
    std::string sdevice, spath, stype, soptions;
    bool bmounted;
    bool bstamp;  // a valid location stamp (marker and location)
    std::string slocation;
    bool bdevices;  // a block device stamp
    std::list<std::string> ldevices;
};

// The entries of the file, with the stamps of those mounted. -1 when it cannot be read.
int collectmounts(const std::string& sfile, std::list<mountpath>& lpaths) {
    using velka::mntconfig::extractentries;
    using velka::mntconfig::mntconfig;
    std::list<velka::mnttab::mnttab> lentries, lmounted;
    LOG(s_plogsrc, s_file, "inventory::collectmounts", "reading " + sfile);
    mntconfig cfg(sfile, extractentries, s_plogsrc);
    if (cfg.extract(lentries) != 0) {
        LOG(s_plogsrc, s_file, "inventory::collectmounts", "cannot read " + sfile);
        return -1;
    }
    mntconfig mounts("/proc/self/mounts", extractentries, s_plogsrc);
    mounts.extract(lmounted);
    for (auto& e : lentries) {
        mountpath mp{e.get_blkdev(),
                     e.get_mntpath(),
                     e.get_fstype(),
                     e.get_fsargs(),
                     false,
                     false,
                     "",
                     false,
                     {}};
        mp.bmounted = cfg.hasmntpath(lmounted, mp.spath);
        if (mp.bmounted) {
            mp.bstamp = e.check_valid_stamp(mp.spath, mp.slocation) == 0;
            mp.bdevices = e.extract_blkdev_stamp(mp.spath, mp.ldevices) == 0;
        }
        lpaths.push_back(mp);
    }
    return 0;
}

void printmountstable(const std::string& sfile, const std::list<mountpath>& lpaths) {
    printf("Mount paths in %s\n", printable(sfile).c_str());
    for (const auto& mp : lpaths) {
        printf("  %s\n", printable(mp.spath).c_str());
        printf("    %-20s %s\n", "Device", printable(mp.sdevice).c_str());
        printf("    %-20s %s\n", "Type", printable(mp.stype).c_str());
        printf("    %-20s %s\n", "Options", printable(mp.soptions).c_str());
        printf("    %-20s %s\n", "Mounted", mp.bmounted ? "yes" : "no");
        if (!mp.bmounted) continue;
        printf("    %-20s %s\n", "Location stamp", mp.bstamp ? "valid" : "none or not valid");
        printf("    %-20s %s\n", "Location", mp.bstamp ? printable(mp.slocation).c_str() : "-");
        std::string sdevices;
        for (const auto& sdev : mp.ldevices) sdevices += (sdevices.empty() ? "" : " ") + sdev;
        printf("    %-20s %s\n", "Devices",
               mp.bdevices ? printable(sdevices).c_str() : "no block device stamp");
    }
}

void printmountsjson(const std::string& sfile, const std::list<mountpath>& lpaths) {
    printf("{\n  \"mount_config\": {\n    \"file\": %s,\n    \"entries\": [",
           jsonstring(sfile).c_str());
    const char* sep = "\n";
    for (const auto& mp : lpaths) {
        printf(
            "%s      {\"device\": %s, \"mount_path\": %s, \"type\": %s, \"options\": %s, "
            "\"mounted\": %s",
            sep, jsonstring(mp.sdevice).c_str(), jsonstring(mp.spath).c_str(),
            jsonstring(mp.stype).c_str(), jsonstring(mp.soptions).c_str(),
            mp.bmounted ? "true" : "false");
        if (mp.bmounted) {
            printf(", \"valid_stamp\": %s, \"location\": %s, \"devices\": ",
                   mp.bstamp ? "true" : "false",
                   mp.bstamp ? jsonstring(mp.slocation).c_str() : "null");
            if (mp.bdevices) {
                printf("[");
                const char* dsep = "";
                for (const auto& sdev : mp.ldevices) {
                    printf("%s%s", dsep, jsonstring(sdev).c_str());
                    dsep = ", ";
                }
                printf("]");
            } else {
                printf("null");
            }
        }
        printf("}");
        sep = ",\n";
    }
    printf("%s]\n  }\n}\n", lpaths.empty() ? "" : "\n    ");
}

int showmounts(const std::string& sfile, bool bjson) {
    std::list<mountpath> lpaths;
    if (collectmounts(sfile, lpaths) != 0) {
        fprintf(stderr, "velka-inventory: cannot read the mount-path configuration file '%s'\n",
                printable(sfile).c_str());
        return 1;
    }
    if (bjson)
        printmountsjson(sfile, lpaths);
    else
        printmountstable(sfile, lpaths);
    return 0;
}

void usage(FILE* out) {
    fprintf(out, "usage: velka-inventory [--json] [--mounts FILE | --pci [TABLE]] [--log FILE]\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool bjson = false;
    const char* smounts = nullptr;
    const char* slog = nullptr;
    bool bpci = false;
    std::string spcitable;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            bjson = true;
        } else if (strcmp(argv[i], "--mounts") == 0 && i + 1 < argc) {
            smounts = argv[++i];
        } else if (strcmp(argv[i], "--pci") == 0) {
            bpci = true;
            if (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) spcitable = argv[++i];
        } else if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            slog = argv[++i];
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "velka-inventory: unknown argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    // The core is destroyed before main returns: every logged line is in the file by then.
    velka::scoped_ptr::scoped_ptr<velka::logger::core> plogcore;
    velka::scoped_ptr::scoped_ptr<velka::logger::source> plogsrc;
    if (slog != nullptr) {
        plogcore = new velka::logger::core(256);
        plogcore->add_sink(velka::logger::FILE_SINK, slog);
        if (plogcore->filesinkfailed()) {
            fprintf(stderr, "velka-inventory: cannot open the log file '%s': %s\n",
                    printable(slog).c_str(), strerror(plogcore->filesinkerrno()));
            return 1;
        }
        plogsrc = new velka::logger::source(plogcore.get(), velka::logger::everylevel);
        s_plogsrc = plogsrc.get();
    }
    int iret = 0;
    if (bpci) {
        LOG(s_plogsrc, s_file, "inventory::main",
            "showing the PCI functions" + (spcitable.empty() ? "" : " with table " + spcitable));
        if (bjson)
            printf("{\n  \"pci\": %s\n}\n", pci_json(spcitable, s_plogsrc).c_str());
        else
            pci_table(stdout, spcitable, true, s_plogsrc);
    } else if (smounts != nullptr) {
        LOG(s_plogsrc, s_file, "inventory::main",
            std::string("showing the mount paths of ") + smounts);
        iret = showmounts(smounts, bjson);
    } else {
        LOG(s_plogsrc, s_file, "inventory::main", "collecting the platform inventory");
        inventory inv = collect();
        if (bjson)
            printjson(inv);
        else
            printtable(inv);
    }
    LOG(s_plogsrc, s_file, "inventory::main", "done, exit code " + utilities::itostr(iret));
    s_plogsrc = nullptr;
    if (plogcore.get() != nullptr) {
        // Stopping the core writes every queued line: a failure shows after it.
        plogcore->del_sink(velka::logger::CONSOLE_SINK);
        if (plogcore->filesinkfailed()) {
            fprintf(stderr, "velka-inventory: cannot write to the log file '%s': %s\n",
                    printable(slog).c_str(), strerror(plogcore->filesinkerrno()));
            if (iret == 0) iret = 1;
        }
    }
    return iret;
}
