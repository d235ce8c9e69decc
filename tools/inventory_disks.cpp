// The disks section of velka-inventory: every disk the block device manager lists (SCSI,
// SAS, SATA and NVMe), each with its partitions as parted lists them. NVMe namespaces also
// show their controller's model, serial number and firmware revision from sysfs, which the
// manager's records do not carry. Nothing of the machine is changed: the manager writes udev
// database entries for the disks it finds, so as root it runs in a child process with a
// private mount namespace in which /run/udev/data is covered by a throw-away layer (the
// existing entries stay visible, new ones vanish with the child). Tools it runs that are
// missing are named once, in the command's own words.
#include "inventory_disks.h"
#include "inventory_common.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <velka/blkdev>
#include <velka/utilities>

namespace {

using invtools::havetool;
using invtools::jsonstring;
using invtools::printable;

using velka::blkdev::blkdev;
using velka::blkdev::blkdevmgr;
using velka::blkdev::partitioninfo;
using velka::utilities::utilities;

const char* const s_scsidevices = "/sys/bus/scsi/devices";
const char* const s_sysblock = "/sys/block";
const char* const s_udevdata = "/run/udev/data";

struct disk {
    blkdev record;
    std::string srevision;  // SCSI: the "rev" attribute; NVMe: the controller's firmware
    std::string snvmemodel;
    std::string snvmeserial;
    std::vector<partitioninfo> vparts;
};

std::string transportname(velka::blkdev::scsitransport_t e) {
    if (e == velka::blkdev::e_nvme) return "nvme";
    return blkdevmgr::decodetransporttype(e);
}

void addrecord(blkdev& bdev, void* arg, void*) {
    static_cast<std::list<disk>*>(arg)->push_back(disk{bdev, "", "", "", {}});
}

// Every disk of the manager, in its order, with partitions and the NVMe controller's
// identity. The notes name the tools that are missing. The tools' own complaints never reach
// the terminal: standard error points at /dev/null while they run.
std::list<disk> collect(velka::logger::source* plogsrc, std::string& snote) {
    std::list<disk> ldisks;
    bool bparted = havetool("parted");
    if (!havetool("blkid"))
        snote += "velka-inventory: blkid is not installed: disk labels are not shown\n";
    if (!bparted) snote += "velka-inventory: parted is not installed: partitions are not shown\n";
    fflush(stderr);
    int isaved = dup(2);
    int inull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (inull >= 0) {
        dup2(inull, 2);
        close(inull);
    }
    {
        blkdevmgr mgr(plogsrc);
        mgr.for_each_blkdev(addrecord, &ldisks, nullptr);
    }
    for (disk& d : ldisks) {
        blkdev& b = d.record;
        std::string sname = b.get_dev().substr(b.get_dev().rfind('/') + 1);
        if (b.get_transport() == velka::blkdev::e_nvme) {
            std::string sctrl = std::string(s_sysblock) + "/" + sname + "/device/";
            d.snvmemodel = utilities::trim(utilities::read(sctrl + "model"));
            d.snvmeserial = utilities::trim(utilities::read(sctrl + "serial"));
            d.srevision = utilities::trim(utilities::read(sctrl + "firmware_rev"));
        } else {
            d.srevision = utilities::trim(
                utilities::read(std::string(s_scsidevices) + "/" + b.get_legatopath() + "/rev"));
        }
        if (bparted) b.extractpartitioninfo(d.vparts);
    }
    if (isaved >= 0) {
        dup2(isaved, 2);
        close(isaved);
    }
    return ldisks;
}

std::string humansize(unsigned long long ullbytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double d = static_cast<double>(ullbytes);
    int i = 0;
    while (d >= 1024.0 && i < 6) {
        d /= 1024.0;
        ++i;
    }
    char buf[32];
    if (i == 0)
        snprintf(buf, sizeof(buf), "%llu B", ullbytes);
    else
        snprintf(buf, sizeof(buf), "%.1f %s", d, units[i]);
    return buf;
}

std::string rotation(const blkdev& b) {
    int i = b.get_rotationspeed();
    if (i == 1) return "flash (non-rotating)";
    if (i > 1) return utilities::itostr(i) + " rpm";
    return i == 0 ? "not reported" : "unknown (query failed)";
}

std::string tablestext(const std::list<disk>& ldisks) {
    std::string s = "\nDisks\n";
    if (ldisks.empty()) s += "  none found\n";
    char buf[1024];
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        bool bnvme = b.get_transport() == velka::blkdev::e_nvme;
        unsigned long long ullbytes = b.get_blocks() * b.get_blksize();
        auto line = [&](const char* skey, const std::string& sval) {
            snprintf(buf, sizeof(buf), "    %-20s %s\n", skey, printable(sval).c_str());
            s += buf;
        };
        s += "  " + printable(b.get_dev()) + "\n";
        if (!bnvme) {
            line("SCSI address", b.get_legatopath());
            line("Generic node", b.get_sgdev().empty() ? "-" : b.get_sgdev());
        }
        line("Transport", transportname(b.get_transport()));
        if (bnvme) {
            line("Model", d.snvmemodel.empty() ? "-" : d.snvmemodel);
            line("Serial", d.snvmeserial.empty() ? "-" : d.snvmeserial);
            line("Firmware", d.srevision.empty() ? "-" : d.srevision);
        } else {
            line("Vendor", utilities::trim(b.get_vendor()));
            line("Model", utilities::trim(b.get_model()));
            line("Revision", d.srevision);
            line("Serial", utilities::trim(b.get_serial()));
        }
        line("Capacity", utilities::ultostr(b.get_blocks()) + " x " +
                             utilities::ultostr(b.get_blksize()) + " bytes = " +
                             utilities::ultostr(ullbytes) + " bytes (" + humansize(ullbytes) + ")");
        line("Rotation", rotation(b));
        if (!bnvme) {
            line("UNMAP", b.get_unmap() ? "supported" : "not supported");
            line("WRITE SAME (unmap)", b.get_samewrite() ? "supported" : "not supported");
            line("Label", b.get_label().empty() ? "-" : b.get_label());
        }
        if (d.vparts.empty()) {
            line("Partitions", "-");
            continue;
        }
        line("Partitions", "");
        snprintf(buf, sizeof(buf), "      %-4s %-10s %-10s %-10s %-12s %-24s %s\n", "#", "Start",
                 "End", "Size", "File system", "Name", "Flags");
        s += buf;
        for (const partitioninfo& p : d.vparts) {
            snprintf(buf, sizeof(buf), "      %-4d %-10s %-10s %-10s %-12s %-24s %s\n",
                     p.m_partitionnum, printable(p.m_start).c_str(), printable(p.m_end).c_str(),
                     printable(p.m_size).c_str(),
                     printable(p.m_fstype.empty() ? "-" : p.m_fstype).c_str(),
                     printable(p.m_name.empty() ? "-" : p.m_name).c_str(),
                     printable(p.m_flags.empty() ? "-" : p.m_flags).c_str());
            s += buf;
        }
    }
    return s;
}

std::string partsjson(const std::vector<partitioninfo>& vparts) {
    std::string s = "[";
    const char* sep = "";
    for (const partitioninfo& p : vparts) {
        s += sep;
        s += "{\"number\": " + utilities::itostr(p.m_partitionnum) +
             ", \"start\": " + jsonstring(p.m_start) + ", \"end\": " + jsonstring(p.m_end) +
             ", \"size\": " + jsonstring(p.m_size) + ", \"filesystem\": " + jsonstring(p.m_fstype) +
             ", \"name\": " + jsonstring(p.m_name) + ", \"flags\": " + jsonstring(p.m_flags) + "}";
        sep = ", ";
    }
    return s + "]";
}

std::string jsontext(const std::list<disk>& ldisks) {
    std::string s = "[";
    const char* sep = "\n";
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        bool bnvme = b.get_transport() == velka::blkdev::e_nvme;
        unsigned long long ullbytes = b.get_blocks() * b.get_blksize();
        int irot = b.get_rotationspeed();
        s += sep;
        s += "    {\"device\": " + jsonstring(b.get_dev()) +
             ", \"scsi_address\": " + jsonstring(b.get_legatopath()) +
             ", \"generic_node\": " + jsonstring(b.get_sgdev()) +
             ", \"transport\": " + jsonstring(transportname(b.get_transport())) +
             ", \"vendor\": " + jsonstring(utilities::trim(b.get_vendor())) +
             ", \"model\": " + jsonstring(bnvme ? d.snvmemodel : utilities::trim(b.get_model())) +
             ", \"revision\": " + jsonstring(d.srevision) + ", \"serial\": " +
             jsonstring(bnvme ? d.snvmeserial : utilities::trim(b.get_serial())) +
             ", \"major\": " + utilities::itostr(b.get_major()) +
             ", \"minor\": " + utilities::itostr(b.get_minor()) +
             ", \"blocks\": " + utilities::ultostr(b.get_blocks()) +
             ", \"block_size\": " + utilities::ultostr(b.get_blksize()) +
             ", \"capacity_bytes\": " + utilities::ultostr(ullbytes) +
             ", \"capacity\": " + jsonstring(humansize(ullbytes)) +
             ", \"rotation_rpm\": " + (irot > 1 ? utilities::itostr(irot) : std::string("null")) +
             ", \"flash\": " + (b.get_isflashdisk() ? "true" : "false") +
             ", \"removable\": " + (b.get_removable() ? "true" : "false") +
             ", \"unmap\": " + (b.get_unmap() ? "true" : "false") +
             ", \"write_same\": " + (b.get_samewrite() ? "true" : "false") +
             ", \"label\": " + jsonstring(b.get_label()) +
             ", \"partitions\": " + partsjson(d.vparts) + "}";
        sep = ",\n";
    }
    return s + (ldisks.empty() ? "]" : "\n  ]");
}

// A throw-away layer over the udev database in this process's own mount namespace: an
// overlay whose upper layer lives in a tmpfs, so existing entries stay visible and new ones
// vanish; a bare tmpfs where there is no database or overlayfs is not available.
bool coverudevdata(const char* slayers, std::string& serr) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        serr = strerror(errno);
        return false;
    }
    if (!utilities::isdir(s_udevdata))
        return mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0 ||
               (serr = strerror(errno), false);
    bool boverlay = false;
    if (slayers != nullptr && mount("tmpfs", slayers, "tmpfs", 0, "mode=0700") == 0) {
        std::string supper = std::string(slayers) + "/upper",
                    swork = std::string(slayers) + "/work";
        std::string sopts =
            std::string("lowerdir=") + s_udevdata + ",upperdir=" + supper + ",workdir=" + swork;
        boverlay = mkdir(supper.c_str(), 0755) == 0 && mkdir(swork.c_str(), 0755) == 0 &&
                   mount("overlay", s_udevdata, "overlay", 0, sopts.c_str()) == 0;
    }
    if (!boverlay && mount("tmpfs", s_udevdata, "tmpfs", 0, "mode=0755") != 0) {
        serr = strerror(errno);
        return false;
    }
    return true;
}

// Both texts of the section. As root the manager runs in a child (coverudevdata) that hands
// the texts back through a pipe; without root it cannot write the database and runs here.
void render(velka::logger::source* plogsrc, std::string& stable, std::string& sjson) {
    std::string snote;
    std::list<std::string> lscsi, lblock;
    utilities::readdir(s_scsidevices, lscsi);
    utilities::readdir(s_sysblock, lblock);
    if (lscsi.empty() && lblock.empty()) {
        stable = tablestext({});
        sjson = jsontext({});
        return;
    }
    if (geteuid() != 0) {
        std::list<disk> ldisks = collect(plogsrc, snote);
        stable = tablestext(ldisks);
        sjson = jsontext(ldisks);
        if (!snote.empty()) fprintf(stderr, "%s", snote.c_str());
        return;
    }
    int fds[2];
    if (pipe(fds) != 0) return;
    fflush(nullptr);
    // The overlay's layers: a directory the child covers with a tmpfs of its own; removed
    // here once the child is gone.
    char stemplate[] = "/tmp/velka-inventory.XXXXXX";
    const char* slayers = mkdtemp(stemplate);
    pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string sout, serr;
        if (!coverudevdata(slayers, serr)) {
            sout = "Ethe disks cannot be examined here (" + serr + ")";
        } else {
            // The logging core's thread is not in this process: log nothing here.
            std::list<disk> ldisks = collect(nullptr, snote);
            std::string t = tablestext(ldisks), j = jsontext(ldisks);
            sout = "T" + utilities::ultostr(snote.size()) + "\n" + snote +
                   utilities::ultostr(t.size()) + "\n" + t + j;
        }
        const char* p = sout.data();
        size_t n = sout.size();
        while (n > 0) {
            ssize_t w = write(fds[1], p, n);
            if (w <= 0 && errno != EINTR) break;
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            }
        }
        _exit(0);
    }
    ::close(fds[1]);
    std::string sin;
    char buf[65536];
    for (;;) {
        ssize_t r = read(fds[0], buf, sizeof(buf));
        if (r > 0)
            sin.append(buf, static_cast<size_t>(r));
        else if (r == 0 || errno != EINTR)
            break;
    }
    ::close(fds[0]);
    if (pid > 0)
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    if (slayers != nullptr) rmdir(slayers);
    // T{note length}\n{note}{table length}\n{table}{json}
    size_t nl = sin.find('\n');
    if (sin.compare(0, 1, "T") == 0 && nl != std::string::npos) {
        size_t unote = utilities::strtoul(sin.substr(1, nl - 1));
        snote = sin.substr(nl + 1, unote);
        size_t ipos = nl + 1 + snote.size();
        size_t nl2 = sin.find('\n', ipos);
        if (nl2 != std::string::npos) {
            size_t utable = utilities::strtoul(sin.substr(ipos, nl2 - ipos));
            stable = sin.substr(nl2 + 1, utable);
            sjson = sin.substr(nl2 + 1 + stable.size());
            if (!snote.empty()) fprintf(stderr, "%s", snote.c_str());
            return;
        }
    }
    fprintf(stderr, "velka-inventory: %s\n",
            sin.empty() ? "the disks cannot be examined here" : sin.substr(1).c_str());
    stable = tablestext({});
    sjson = jsontext({});
}

struct rendered {
    bool bdone = false;
    std::string stable, sjson;
};
rendered s_rendered;

const rendered& once(velka::logger::source* plogsrc) {
    if (!s_rendered.bdone) {
        render(plogsrc, s_rendered.stable, s_rendered.sjson);
        if (s_rendered.sjson.empty()) s_rendered.sjson = "[]";
        s_rendered.bdone = true;
    }
    return s_rendered;
}

}  // namespace

void disks_table(FILE* out, velka::logger::source* plogsrc) {
    fputs(once(plogsrc).stable.c_str(), out);
}

std::string disks_json(velka::logger::source* plogsrc) {
    return once(plogsrc).sjson;
}
