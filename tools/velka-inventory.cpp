// velka-inventory: prints what the library finds out about this host. It only reads: no
// file, device or setting of the machine is changed, apart from the metrics file that
// --prometheus writes.
//
//   velka-inventory [--json]
//   velka-inventory [--json] --mounts FILE
//   velka-inventory [--json] --pci [TABLE]
//   velka-inventory --prometheus [FILE]
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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <utility>

#include <velka/logger>
#include <velka/mntconfig>
#include <velka/mnttab>
#include <velka/scoped_ptr>
#include <velka/utilities>
#include <velka/version>

#include "inventory.h"
#include "inventory_common.h"

namespace {

using invtools::jsonstring;
using invtools::printable;

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "velka-inventory.cpp";
const char* const s_promdefault = "/var/lib/prometheus/node-exporter/velka.prom";
// Where the command and the managers it builds log; null without --log.
velka::logger::source* s_plogsrc = nullptr;

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

// Whether a file the user named can be read: "" if so, else why not.
std::string unreadable(const std::string& sfile) {
    int ifd = open(sfile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (ifd < 0) return strerror(errno);
    struct stat st;
    std::string swhy;
    if (fstat(ifd, &st) != 0)
        swhy = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        swhy = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
    close(ifd);
    return swhy;
}

int showmounts(const std::string& sfile, bool bjson) {
    std::list<mountpath> lpaths;
    std::string swhy = unreadable(sfile);
    if (!swhy.empty() || collectmounts(sfile, lpaths) != 0) {
        fprintf(stderr, "velka-inventory: cannot read the mount-path configuration file '%s': %s\n",
                printable(sfile).c_str(),
                swhy.empty() ? "its entries cannot be parsed" : swhy.c_str());
        return 1;
    }
    if (bjson)
        printmountsjson(sfile, lpaths);
    else
        printmountstable(sfile, lpaths);
    return 0;
}

void usage(FILE* out) {
    fprintf(out,
            "usage: velka-inventory [--json] [--mounts FILE | --pci [TABLE]] [--log FILE]\n"
            "       velka-inventory --prometheus [FILE] [--log FILE]\n"
            "       velka-inventory --version\n"
            "\n"
            "Shows what velka finds out about this host (platform, network interfaces, PCI\n"
            "functions and drivers, disks and other block devices, LVM volume groups and\n"
            "physical volumes, SMART health, network boot, RAID) as a table, or as JSON with\n"
            "--json. Apart from the --prometheus file it only reads: nothing else on the\n"
            "machine is changed.\n"
            "\n"
            "  --json             JSON instead of the table (numbers that are not finite are\n"
            "                     null)\n"
            "  --mounts FILE      the entries of a mount-path configuration file and their\n"
            "                     location stamps\n"
            "  --pci [TABLE]      every PCI function with the kernel modules that the module\n"
            "                     table TABLE names (default: the running kernel's modules.alias)\n"
            "  --prometheus [FILE]\n"
            "                     the inventory's metrics in Prometheus' text exposition format\n"
            "                     for node_exporter's textfile collector, written atomically\n"
            "                     (a temporary file in the same directory renamed over FILE).\n"
            "                     FILE defaults to %s;\n"
            "                     \"-\" writes to standard output. Nothing else is printed.\n"
            "  --log FILE         log what the command does to FILE (appended)\n"
            "  --version          the version of the velka library it runs with\n"
            "\n"
            "Exit status: 0 done (with --prometheus also when a section failed: its\n"
            "velka_inventory_section_success is 0); 1 the log file or the metrics file cannot\n"
            "be written (also when FILE exists and is not a regular file), or the mount-path\n"
            "file or the module table TABLE cannot be read; 2 bad arguments.\n",
            s_promdefault);
}

}  // namespace

int main(int argc, char** argv) {
    bool bjson = false;
    const char* smounts = nullptr;
    const char* slog = nullptr;
    bool bpci = false;
    std::string spcitable;
    const char* sprom = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            bjson = true;
        } else if (strcmp(argv[i], "--mounts") == 0 && i + 1 < argc) {
            smounts = argv[++i];
        } else if (strcmp(argv[i], "--pci") == 0) {
            bpci = true;
            if (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) spcitable = argv[++i];
        } else if (strcmp(argv[i], "--prometheus") == 0) {
            sprom = s_promdefault;
            if (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) sprom = argv[++i];
        } else if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            slog = argv[++i];
        } else if (strcmp(argv[i], "--version") == 0) {
            printf("velka-inventory %s\n", velka::version());
            return 0;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "velka-inventory: unknown argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (sprom != nullptr && (bjson || bpci || smounts != nullptr || *sprom == '\0')) {
        fprintf(stderr, "velka-inventory: --prometheus takes a file name and no other view\n");
        usage(stderr);
        return 2;
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
    std::string swhy;
    if (bpci && !spcitable.empty() && !(swhy = unreadable(spcitable)).empty()) {
        fprintf(stderr, "velka-inventory: cannot read the module table '%s': %s\n",
                printable(spcitable).c_str(), swhy.c_str());
        LOG(s_plogsrc, s_file, "inventory::main", "cannot read the module table " + spcitable);
        iret = 1;
    } else if (sprom != nullptr && strcmp(sprom, "-") != 0 &&
               inventory_checkfile(sprom, swhy) != 0) {
        // Refused before the inventory runs; inventory_writefile asks again before the rename.
        fprintf(stderr, "velka-inventory: %s\n", printable(swhy).c_str());
        LOG(s_plogsrc, s_file, "inventory::main", swhy);
        iret = 1;
    } else if (bpci) {
        LOG(s_plogsrc, s_file, "inventory::main",
            "showing the PCI functions" + (spcitable.empty() ? "" : " with table " + spcitable));
        pcisection sec = pci_collect(spcitable, s_plogsrc);
        if (bjson)
            printf("{\n  \"pci\": %s\n}\n", pci_json(sec).c_str());
        else
            pci_table(stdout, sec, true);
    } else if (smounts != nullptr) {
        LOG(s_plogsrc, s_file, "inventory::main",
            std::string("showing the mount paths of ") + smounts);
        iret = showmounts(smounts, bjson);
    } else {
        LOG(s_plogsrc, s_file, "inventory::main", "collecting the platform inventory");
        inventoryfacts inv = inventory_collect(s_plogsrc, true);
        fputs(inv.disks.snote.c_str(), stderr);
        if (sprom != nullptr && strcmp(sprom, "-") == 0) {
            fputs(inventory_prometheus(inv).c_str(), stdout);
        } else if (sprom != nullptr) {
            std::string serror;
            if (inventory_writefile(sprom, inventory_prometheus(inv), serror) != 0) {
                fprintf(stderr, "velka-inventory: %s\n", printable(serror).c_str());
                iret = 1;
            }
            LOG(s_plogsrc, s_file, "inventory::main",
                std::string("metrics written to ") + sprom + (iret == 0 ? "" : ": " + serror));
        } else if (bjson) {
            fputs(inventory_json(inv).c_str(), stdout);
        } else {
            inventory_table(stdout, inv);
        }
    }
    LOG(s_plogsrc, s_file, "inventory::main", "done, exit code " + utilities::itostr(iret));
    s_plogsrc = nullptr;
    if (plogcore.get() != nullptr) {
        // Every queued line is written first: a failure shows after it.
        plogcore->drain();
        if (plogcore->filesinkfailed()) {
            fprintf(stderr, "velka-inventory: cannot write to the log file '%s': %s\n",
                    printable(slog).c_str(), strerror(plogcore->filesinkerrno()));
            if (iret == 0) iret = 1;
        }
    }
    return iret;
}
