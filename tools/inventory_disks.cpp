// The disks section of velka-inventory. The SCSI disks are found under /sys/bus/scsi/devices
// (an address host:channel:target:lun with one block device beneath), their hosts' transports
// under /sys/class/sas_host and /sys/class/fc_host, and each disk is described by a block
// device record filled by the attribute extractors. Nothing of the machine is changed: a
// record makes sure the udev data directory exists, so where /run/udev/data is missing the
// disks are described in a child process with a private mount namespace and a tmpfs over
// /run, which vanishes with the child.
#include "inventory_disks.h"

#include <sched.h>
#include <sys/mount.h>
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

using velka::blkdev::blkdev;
using velka::blkdev::blkdevparams;
using velka::utilities::utilities;

const char* const s_scsidevices = "/sys/bus/scsi/devices";

struct disk {
    std::string saddress;
    std::string srevision;
    blkdev record;
};

std::string transportname(velka::blkdev::scsitransport_t e) {
    switch (e) {
        case velka::blkdev::e_scsi:
            return "scsi";
        case velka::blkdev::e_sas:
            return "sas";
        case velka::blkdev::e_fc:
            return "fc";
        case velka::blkdev::e_iscsi:
            return "iscsi";
        default:
            return "unknown";
    }
}

// "host7" -> 7 for every entry of a host class directory.
void hosts(const std::string& sdir, velka::blkdev::scsitransport_t e, blkdevparams& params) {
    std::list<std::string> lnames;
    if (utilities::readdir(sdir, lnames) != 0) return;
    for (const std::string& s : lnames) {
        if (s.compare(0, 4, "host") != 0 || s.size() == 4) continue;
        params.set_hosttransport(utilities::strtoi(s.substr(4)), e);
    }
}

bool isaddress(const std::string& s) {
    std::vector<std::string> lfields;
    std::string scopy(s);
    char sdelim[] = ":";
    utilities::tokenize(&scopy[0], sdelim, lfields);
    if (lfields.size() != 4 || std::count(s.begin(), s.end(), ':') != 3) return false;
    for (const std::string& f : lfields)
        if (f.empty() || f.find_first_not_of("0123456789") != std::string::npos) return false;
    return true;
}

bool onpath(const char* sname) {
    std::string spath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    size_t p = 0;
    for (;;) {
        size_t e = spath.find(':', p);
        std::string sdir = spath.substr(p, e == std::string::npos ? e : e - p);
        if (!sdir.empty() && access((sdir + "/" + sname).c_str(), X_OK) == 0) return true;
        if (e == std::string::npos) return false;
        p = e + 1;
    }
}

// Every SCSI disk, in the order of their addresses as numbers.
std::list<disk> collect(velka::logger::source* plogsrc, std::string& snote) {
    std::list<disk> ldisks;
    blkdevparams params(plogsrc);
    hosts("/sys/class/sas_host", velka::blkdev::e_sas, params);
    hosts("/sys/class/fc_host", velka::blkdev::e_fc, params);
    bool bblkid = onpath("blkid");
    if (!bblkid) snote = "blkid is not installed: disk labels are not shown";
    std::list<std::string> laddrs;
    if (utilities::readdir(s_scsidevices, laddrs) != 0) return ldisks;
    std::vector<std::string> vaddrs(laddrs.begin(), laddrs.end());
    std::sort(vaddrs.begin(), vaddrs.end(), [](const std::string& a, const std::string& b) {
        for (size_t i = 0, j = 0; i < a.size() || j < b.size();) {
            unsigned long ua = strtoul(a.c_str() + i, nullptr, 10);
            unsigned long ub = strtoul(b.c_str() + j, nullptr, 10);
            if (ua != ub) return ua < ub;
            i = a.find(':', i);
            j = b.find(':', j);
            if (i == std::string::npos || j == std::string::npos) return j != std::string::npos;
            ++i;
            ++j;
        }
        return false;
    });
    for (const std::string& saddr : vaddrs) {
        if (!isaddress(saddr)) continue;
        std::string sdir = std::string(s_scsidevices) + "/" + saddr;
        std::list<std::string> lblock;
        if (utilities::readdir(sdir + "/block", lblock) != 0 || lblock.size() != 1) continue;
        std::string sname = lblock.front();
        disk d{saddr, utilities::trim(utilities::read(sdir + "/rev")),
               blkdev("/dev/" + sname, plogsrc)};
        blkdev& b = d.record;
        b.set_legatopath(saddr);
        params.extractvendor(sdir, b);
        params.extractmodel(sdir, b);
        params.extractscsiversion(sdir, b);
        params.extractsgdev(sdir, "/dev", b);
        std::string ssg = b.get_sgdev();
        params.extractblkdevcapacity(ssg, b);
        params.extractuuid(ssg, b);
        params.extractdevicetype(ssg, b);
        params.extractrotationspeed(ssg, b);
        params.extractprovisioninginfo(ssg, b);
        params.extracttransporttype(b);
        if (bblkid) params.extractlabel(b);
        std::string sblock = "/sys/block/" + sname;
        params.extractdevno(sblock, b);
        params.extractremovable(sblock, b);
        params.extractscheduler(sblock, b);
        ldisks.push_back(d);
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

std::string jsonstring(const std::string& s) {
    std::string sout("\"");
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            sout += '\\';
            sout += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            sout += buf;
        } else {
            sout += static_cast<char>(c);
        }
    }
    return sout + "\"";
}

// Control and non-ASCII bytes as octal escapes, so every value stays on its line.
std::string printable(const std::string& s) {
    std::string sout;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\%03o", c);
            sout += buf;
        } else {
            sout += static_cast<char>(c);
        }
    }
    return sout;
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
    char buf[512];
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        unsigned long long ullbytes = b.get_blocks() * b.get_blksize();
        auto line = [&](const char* skey, const std::string& sval) {
            snprintf(buf, sizeof(buf), "    %-20s %s\n", skey, printable(sval).c_str());
            s += buf;
        };
        s += "  " + printable(b.get_dev()) + "\n";
        line("SCSI address", d.saddress);
        line("Generic node", b.get_sgdev().empty() ? "-" : b.get_sgdev());
        line("Transport", transportname(b.get_transport()));
        line("Vendor", utilities::trim(b.get_vendor()));
        line("Model", utilities::trim(b.get_model()));
        line("Revision", d.srevision);
        line("Serial", utilities::trim(b.get_serial()));
        line("Capacity", utilities::ultostr(b.get_blocks()) + " x " +
                             utilities::ultostr(b.get_blksize()) + " bytes = " +
                             utilities::ultostr(ullbytes) + " bytes (" + humansize(ullbytes) + ")");
        line("Rotation", rotation(b));
        line("UNMAP", b.get_unmap() ? "supported" : "not supported");
        line("WRITE SAME (unmap)", b.get_samewrite() ? "supported" : "not supported");
        line("Label", b.get_label().empty() ? "-" : b.get_label());
    }
    return s;
}

std::string jsontext(const std::list<disk>& ldisks) {
    std::string s = "[";
    const char* sep = "\n";
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        unsigned long long ullbytes = b.get_blocks() * b.get_blksize();
        int irot = b.get_rotationspeed();
        s += sep;
        s += "    {\"device\": " + jsonstring(b.get_dev()) +
             ", \"scsi_address\": " + jsonstring(d.saddress) +
             ", \"generic_node\": " + jsonstring(b.get_sgdev()) +
             ", \"transport\": " + jsonstring(transportname(b.get_transport())) +
             ", \"vendor\": " + jsonstring(utilities::trim(b.get_vendor())) +
             ", \"model\": " + jsonstring(utilities::trim(b.get_model())) +
             ", \"revision\": " + jsonstring(d.srevision) +
             ", \"serial\": " + jsonstring(utilities::trim(b.get_serial())) +
             ", \"blocks\": " + utilities::ultostr(b.get_blocks()) +
             ", \"block_size\": " + utilities::ultostr(b.get_blksize()) +
             ", \"capacity_bytes\": " + utilities::ultostr(ullbytes) +
             ", \"capacity\": " + jsonstring(humansize(ullbytes)) +
             ", \"rotation_rpm\": " + (irot > 1 ? utilities::itostr(irot) : std::string("null")) +
             ", \"flash\": " + (b.get_isflashdisk() ? "true" : "false") +
             ", \"unmap\": " + (b.get_unmap() ? "true" : "false") +
             ", \"write_same\": " + (b.get_samewrite() ? "true" : "false") +
             ", \"label\": " + jsonstring(b.get_label()) + "}";
        sep = ",\n";
    }
    return s + (ldisks.empty() ? "]" : "\n  ]");
}

// Both texts of the section. Where /run/udev/data is missing they are made in a child with
// a private mount namespace and a tmpfs over /run, and handed back through a pipe.
void render(velka::logger::source* plogsrc, std::string& stable, std::string& sjson) {
    std::string snote;
    if (utilities::isdir("/run/udev/data")) {
        std::list<disk> ldisks = collect(plogsrc, snote);
        stable = tablestext(ldisks);
        sjson = jsontext(ldisks);
        if (!snote.empty()) fprintf(stderr, "velka-inventory: %s\n", snote.c_str());
        return;
    }
    std::list<std::string> laddrs;
    if (utilities::readdir(s_scsidevices, laddrs) != 0 || laddrs.empty()) {
        stable = tablestext({});
        sjson = jsontext({});
        return;
    }
    int fds[2];
    if (pipe(fds) != 0) return;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string sout;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
            sout = std::string("E") + "the disks cannot be examined here (" + strerror(errno) + ")";
        } else {
            // The logging core's thread is not in this process: log nothing here.
            std::list<disk> ldisks = collect(nullptr, snote);
            std::string t = tablestext(ldisks), j = jsontext(ldisks);
            sout = "T" + utilities::ultostr(t.size()) + "\n" + t + j;
            if (!snote.empty()) fprintf(stderr, "velka-inventory: %s\n", snote.c_str());
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
    size_t nl = sin.find('\n');
    if (sin.compare(0, 1, "T") == 0 && nl != std::string::npos) {
        size_t ulen = utilities::strtoul(sin.substr(1, nl - 1));
        stable = sin.substr(nl + 1, ulen);
        sjson = sin.substr(nl + 1 + stable.size());
        return;
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
