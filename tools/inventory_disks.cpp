// The disks section of velka-inventory: every disk the block device manager lists (SCSI,
// SAS, SATA and NVMe), each with its partitions as parted lists them, and every other block
// device of /sys/block (virtio, Xen, MMC, MD, device-mapper, loop devices with a backing file,
// zram) with its size, model, rotational flag and why the manager does not list it. NVMe namespaces
// also show their controller's model, serial number and firmware revision from sysfs, which the
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
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <list>
#include <string>
#include <vector>

#include <velka/blkdev>
#include <velka/lasterror>
#include <velka/utilities>

namespace {

using invtools::attribute;
using invtools::jsonstring;
using invtools::printable;
using invtools::row;

using velka::blkdev::blkdev;
using velka::blkdev::blkdevmgr;
using velka::blkdev::partitioninfo;
using velka::utilities::utilities;

const char* const s_scsidevices = "/sys/bus/scsi/devices";
const char* const s_sysblock = "/sys/block";
const char* const s_udevdata = "/run/udev/data";

struct disk {
    blkdev record;
    std::string stransport;  // the record's, or "sata" for a disk behind an AHCI host
    std::string srevision;   // SCSI: the "rev" attribute; NVMe: the controller's firmware
    std::string snvmemodel;
    std::string snvmeserial;
    std::vector<partitioninfo> vparts;
};

// A block device of /sys/block that the manager does not list.
struct otherdev {
    std::string sname;
    std::string sbus;  // virtio, xen, mmc, md, device-mapper, loop, zram, ...
    std::string smodel;
    std::string sbacking;  // a loop device's backing file
    unsigned long long ullbytes;
    int irotational;      // 1, 0, or -1 when sysfs does not say
    std::string sreason;  // why the manager does not list it; "" for the general reason
};

std::string transportname(velka::blkdev::scsitransport_t e) {
    if (e == velka::blkdev::e_nvme) return "nvme";
    return blkdevmgr::decodetransporttype(e);
}

void addrecord(blkdev& bdev, void* arg, void*) {
    static_cast<std::list<disk>*>(arg)->push_back(disk{bdev, "", "", "", "", {}});
}

// The kernel driver of a SCSI host: its proc_name, else the driver of the first device above
// the host that has one (the PCI function of an AHCI controller).
std::string hostdriver(const std::string& slegato) {
    std::string shost = "host" + slegato.substr(0, slegato.find(':'));
    std::string sname = attribute("/sys/class/scsi_host/" + shost + "/proc_name");
    if (!sname.empty() && sname != "(null)") return sname;
    char sreal[PATH_MAX];
    if (realpath(("/sys/class/scsi_host/" + shost + "/device").c_str(), sreal) == nullptr)
        return "";
    std::string sdir = sreal;
    for (int i = 0; i < 4 && sdir.size() > 1; ++i) {
        char slink[PATH_MAX];
        ssize_t n = readlink((sdir + "/driver").c_str(), slink, sizeof(slink) - 1);
        if (n > 0) {
            std::string sdriver(slink, static_cast<size_t>(n));
            return sdriver.substr(sdriver.rfind('/') + 1);
        }
        sdir = sdir.substr(0, sdir.rfind('/'));
    }
    return "";
}

// What kind of block device a /sys/block entry is: the bus of its device, else its kind by
// name.
std::string busof(const std::string& sname) {
    char slink[PATH_MAX];
    ssize_t n = readlink((std::string(s_sysblock) + "/" + sname + "/device/subsystem").c_str(),
                         slink, sizeof(slink) - 1);
    if (n > 0) {
        std::string sbus(slink, static_cast<size_t>(n));
        return sbus.substr(sbus.rfind('/') + 1);
    }
    const char* vkinds[][2] = {{"md", "md (software RAID)"},
                               {"dm-", "device-mapper"},
                               {"loop", "loop"},
                               {"zram", "zram"},
                               {"nbd", "nbd"},
                               {"ram", "RAM disk"}};
    for (const auto& k : vkinds)
        if (sname.compare(0, strlen(k[0]), k[0]) == 0) return k[1];
    return "unknown";
}

// Why the manager does not list a SCSI block device: not a disk (its peripheral type), no
// device node, a Fibre Channel host, more than one block device at its address; or that it
// was not there when the manager looked.
std::string scsireason(const std::string& sname) {
    std::string sdevice = std::string(s_sysblock) + "/" + sname + "/device";
    std::string stype = attribute(sdevice + "/type");
    if (!stype.empty() && stype.find_first_not_of("0123456789") == std::string::npos &&
        stype.size() <= 3) {
        unsigned int uitype = utilities::strtoui(stype);
        if (!velka::blkdev::blkdevparams::isdisktype(uitype))
            return velka::blkdev::blkdevparams::peripheraltype(uitype) + " (SCSI peripheral type " +
                   stype + "), not a disk";
    } else {
        return "SCSI device without a peripheral type";
    }
    if (!utilities::isblkdev("/dev/" + sname))
        return "SCSI disk without a device node /dev/" + sname;
    char sreal[PATH_MAX];
    if (realpath(sdevice.c_str(), sreal) == nullptr) return "SCSI disk without a SCSI address";
    std::string saddr = sreal;
    saddr = saddr.substr(saddr.rfind('/') + 1);
    std::string shost = "host" + saddr.substr(0, saddr.find(':'));
    if (utilities::isdir(std::string("/sys/class/fc_host/") + shost))
        return "SCSI disk attached over Fibre Channel (" + saddr +
               "), which the disk manager leaves out";
    std::list<std::string> lblock;
    utilities::readdir(sdevice + "/block", lblock);
    if (lblock.size() > 1) return "SCSI address " + saddr + " holds more than one block device";
    return "SCSI disk not present when the disk manager looked";
}

// Every entry of /sys/block that is not one of the manager's disks. Loop devices count only
// with a backing file.
std::list<otherdev> otherdevices(const std::list<disk>& ldisks) {
    std::list<std::string> lnames;
    utilities::readdir(s_sysblock, lnames);
    lnames.sort();
    std::list<otherdev> lothers;
    for (const auto& sname : lnames) {
        if (sname.empty() || sname[0] == '.') continue;
        bool bmanaged = false;
        for (const disk& d : ldisks) bmanaged = bmanaged || d.record.get_dev() == "/dev/" + sname;
        if (bmanaged) continue;
        std::string sdir = std::string(s_sysblock) + "/" + sname + "/";
        otherdev o{sname, busof(sname), "", "", 0, -1, ""};
        if (o.sbus == "scsi") o.sreason = scsireason(sname);
        if (sname.compare(0, 4, "loop") == 0) {
            o.sbacking = attribute(sdir + "loop/backing_file");
            if (o.sbacking.empty()) continue;
        }
        o.smodel = attribute(sdir + "device/model");
        if (o.smodel.empty()) o.smodel = attribute(sdir + "device/name");  // MMC
        if (o.smodel.empty()) o.smodel = attribute(sdir + "dm/name");
        if (o.smodel.empty() && sname.compare(0, 2, "md") == 0)
            o.smodel = attribute(sdir + "md/level");
        o.ullbytes = strtoull(attribute(sdir + "size").c_str(), nullptr, 10) * 512ULL;
        std::string srot = attribute(sdir + "queue/rotational");
        o.irotational = srot == "1" ? 1 : srot == "0" ? 0 : -1;
        lothers.push_back(o);
    }
    return lothers;
}

// Every disk of the manager, in its order, with partitions and the NVMe controller's
// identity, and the other block devices. The notes name the tools that are missing.
std::list<disk> collect(velka::logger::source* plogsrc,
                        std::string& snote,
                        std::list<otherdev>& lothers) {
    std::list<disk> ldisks;
    bool bparted = true;
    {
        blkdevmgr mgr(plogsrc);
        mgr.for_each_blkdev(addrecord, &ldisks, nullptr);
    }
    for (disk& d : ldisks) {
        blkdev& b = d.record;
        std::string sname = b.get_dev().substr(b.get_dev().rfind('/') + 1);
        d.stransport = transportname(b.get_transport());
        if (b.get_transport() == velka::blkdev::e_nvme) {
            std::string sctrl = std::string(s_sysblock) + "/" + sname + "/device/";
            d.snvmemodel = attribute(sctrl + "model");
            d.snvmeserial = attribute(sctrl + "serial");
            d.srevision = attribute(sctrl + "firmware_rev");
        } else {
            d.srevision = attribute(std::string(s_scsidevices) + "/" + b.get_legatopath() + "/rev");
            if (hostdriver(b.get_legatopath()) == "ahci") d.stransport = "sata";
        }
    }
    // The partition tables: the first disk's alone, then the others a pool at a time. Each
    // listing mostly waits for parted and its disk.
    if (!ldisks.empty()) {
        ldisks.front().record.extractpartitioninfo(ldisks.front().vparts);
        // parted was not found (exit status 127): no disk shows partitions.
        bparted = velka::last_command().m_istatus != 127;
    }
    if (bparted && ldisks.size() > 1) {
        std::vector<std::function<void()>> vsteps;
        for (auto it = std::next(ldisks.begin()); it != ldisks.end(); ++it)
            vsteps.push_back([pd = &*it] { pd->record.extractpartitioninfo(pd->vparts); });
        invtools::runsteps(vsteps, true, invtools::poolsize());
    }
    std::list<std::string> lversion;
    utilities::popen("blkid -V", lversion, 0);
    if (velka::last_command().m_istatus == 127)
        snote += "velka-inventory: blkid is not installed: disk labels are not shown\n";
    if (!bparted) snote += "velka-inventory: parted is not installed: partitions are not shown\n";
    lothers = otherdevices(ldisks);
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

std::string notmanaged(const otherdev& o) {
    if (!o.sreason.empty()) return o.sreason;
    return o.sbus + " device: the disk manager lists SCSI, SAS, SATA and NVMe disks";
}

std::string capacity(unsigned long long ullbytes) {
    return utilities::ultostr(ullbytes) + " bytes (" + humansize(ullbytes) + ")";
}

std::string tablestext(const std::list<disk>& ldisks, const std::list<otherdev>& lothers) {
    std::string s = "\nDisks\n";
    if (ldisks.empty())
        s += "  none found (the disk manager lists SCSI, SAS, SATA and NVMe disks" +
             std::string(lothers.empty() ? ")\n" : "; other block devices follow)\n");
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        bool bnvme = b.get_transport() == velka::blkdev::e_nvme;
        unsigned long long ullbytes = b.get_blocks() * b.get_blksize();
        auto line = [&](const char* skey, const std::string& sval) { s += row(4, 20, skey, sval); };
        s += "  " + printable(b.get_dev()) + "\n";
        if (!bnvme) {
            line("SCSI address", b.get_legatopath());
            line("Generic node", b.get_sgdev().empty() ? "-" : b.get_sgdev());
        }
        line("Transport", d.stransport);
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
                             utilities::ultostr(b.get_blksize()) +
                             " bytes = " + capacity(ullbytes));
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
        auto cell = [](const std::string& sval, size_t uwidth) {
            std::string sp = printable(sval.empty() ? "-" : sval);
            if (sp.size() < uwidth) sp.append(uwidth - sp.size(), ' ');
            return sp + " ";
        };
        s += "      " + cell("#", 4) + cell("Start", 10) + cell("End", 10) + cell("Size", 10) +
             cell("File system", 12) + cell("Name", 24) + "Flags\n";
        for (const partitioninfo& p : d.vparts)
            s += "      " + cell(utilities::itostr(p.m_partitionnum), 4) + cell(p.m_start, 10) +
                 cell(p.m_end, 10) + cell(p.m_size, 10) + cell(p.m_fstype, 12) +
                 cell(p.m_name, 24) + printable(p.m_flags.empty() ? "-" : p.m_flags) + "\n";
    }
    if (lothers.empty()) return s;
    s += "\nOther block devices (not managed by the disk manager)\n";
    for (const otherdev& o : lothers) {
        s += "  /dev/" + printable(o.sname) + "\n";
        s += row(4, 20, "Bus", o.sbus);
        s += row(4, 20, "Model", o.smodel.empty() ? "-" : o.smodel);
        if (!o.sbacking.empty()) s += row(4, 20, "Backing file", o.sbacking);
        s += row(4, 20, "Capacity", capacity(o.ullbytes));
        s += row(4, 20, "Rotational",
                 o.irotational < 0 ? "not reported"
                 : o.irotational   ? "yes"
                                   : "no");
        s += row(4, 20, "Not managed", notmanaged(o));
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
    std::vector<std::string> vdisks;
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        bool bnvme = b.get_transport() == velka::blkdev::e_nvme;
        unsigned long long ullbytes = b.get_blocks() * b.get_blksize();
        int irot = b.get_rotationspeed();
        vdisks.push_back(
            "{\"device\": " + jsonstring(b.get_dev()) + ", \"scsi_address\": " +
            jsonstring(b.get_legatopath()) + ", \"generic_node\": " + jsonstring(b.get_sgdev()) +
            ", \"transport\": " + jsonstring(d.stransport) +
            ", \"vendor\": " + jsonstring(utilities::trim(b.get_vendor())) +
            ", \"model\": " + jsonstring(bnvme ? d.snvmemodel : utilities::trim(b.get_model())) +
            ", \"revision\": " + jsonstring(d.srevision) +
            ", \"serial\": " + jsonstring(bnvme ? d.snvmeserial : utilities::trim(b.get_serial())) +
            ", \"major\": " + utilities::itostr(b.get_major()) +
            ", \"minor\": " + utilities::itostr(b.get_minor()) +
            ", \"blocks\": " + utilities::ultostr(b.get_blocks()) +
            ", \"block_size\": " + utilities::ultostr(b.get_blksize()) + ", \"capacity_bytes\": " +
            utilities::ultostr(ullbytes) + ", \"capacity\": " + jsonstring(humansize(ullbytes)) +
            ", \"rotation_rpm\": " + (irot > 1 ? utilities::itostr(irot) : std::string("null")) +
            ", \"flash\": " + (b.get_isflashdisk() ? "true" : "false") +
            ", \"removable\": " + (b.get_removable() ? "true" : "false") +
            ", \"unmap\": " + (b.get_unmap() ? "true" : "false") + ", \"write_same\": " +
            (b.get_samewrite() ? "true" : "false") + ", \"label\": " + jsonstring(b.get_label()) +
            ", \"partitions\": " + partsjson(d.vparts) + "}");
    }
    return invtools::jsonlines(vdisks, 4);
}

std::string otherjson(const std::list<otherdev>& lothers) {
    std::vector<std::string> vothers;
    for (const otherdev& o : lothers)
        vothers.push_back(
            "{\"device\": " + jsonstring("/dev/" + o.sname) + ", \"bus\": " + jsonstring(o.sbus) +
            ", \"model\": " + (o.smodel.empty() ? std::string("null") : jsonstring(o.smodel)) +
            ", \"backing_file\": " +
            (o.sbacking.empty() ? std::string("null") : jsonstring(o.sbacking)) +
            ", \"capacity_bytes\": " + std::to_string(o.ullbytes) +
            ", \"capacity\": " + jsonstring(humansize(o.ullbytes)) + ", \"rotational\": " +
            (o.irotational < 0 ? "null"
             : o.irotational   ? "true"
                               : "false") +
            ", \"managed\": false, \"not_managed_reason\": " + jsonstring(notmanaged(o)) + "}");
    return invtools::jsonlines(vothers, 4);
}

std::string promtext(const std::list<disk>& ldisks, const std::list<otherdev>& lothers) {
    invtools::promtext prom;
    using invtools::labels;
    const char* scap = "Capacity of the block device.";
    const char* sinfo =
        "The block device's identity; managed is true for the disks the disk manager lists.";
    for (const disk& d : ldisks) {
        const blkdev& b = d.record;
        bool bnvme = b.get_transport() == velka::blkdev::e_nvme;
        prom.add("velka_disk_capacity_bytes", scap,
                 labels({{"device", invtools::kernelname(b.get_dev())}}),
                 static_cast<double>(b.get_blocks() * b.get_blksize()));
        prom.add("velka_disk_info", sinfo,
                 labels({{"device", invtools::kernelname(b.get_dev())},
                         {"transport", d.stransport},
                         {"model", bnvme ? d.snvmemodel : utilities::trim(b.get_model())},
                         {"serial", bnvme ? d.snvmeserial : utilities::trim(b.get_serial())},
                         {"managed", "true"}}),
                 1);
    }
    for (const otherdev& o : lothers) {
        prom.add("velka_disk_capacity_bytes", scap, labels({{"device", o.sname}}),
                 static_cast<double>(o.ullbytes));
        prom.add("velka_disk_info", sinfo,
                 labels({{"device", o.sname},
                         {"transport", o.sbus},
                         {"model", o.smodel},
                         {"serial", ""},
                         {"managed", "false"}}),
                 1);
    }
    return prom.text();
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

// The texts of the section, in a child's pipe: "T", then each text as its length, a
// newline and its bytes.
std::string packed(const diskssection& sec) {
    std::string s = "T";
    for (const std::string* p : {&sec.snote, &sec.stable, &sec.sjson, &sec.sotherjson, &sec.sprom})
        s += utilities::ultostr(p->size()) + "\n" + *p;
    return s;
}

bool unpacked(const std::string& sin, diskssection& sec) {
    if (sin.compare(0, 1, "T") != 0) return false;
    size_t upos = 1;
    for (std::string* p : {&sec.snote, &sec.stable, &sec.sjson, &sec.sotherjson, &sec.sprom}) {
        size_t nl = sin.find('\n', upos);
        if (nl == std::string::npos || nl == upos ||
            sin.find_first_not_of("0123456789", upos) != nl)
            return false;
        size_t ulen = utilities::strtoul(sin.substr(upos, nl - upos));
        if (ulen > sin.size() - nl - 1) return false;
        *p = sin.substr(nl + 1, ulen);
        upos = nl + 1 + ulen;
    }
    return upos == sin.size();
}

diskssection examine(velka::logger::source* plogsrc) {
    diskssection sec;
    std::list<otherdev> lothers;
    std::list<disk> ldisks = collect(plogsrc, sec.snote, lothers);
    sec.stable = tablestext(ldisks, lothers);
    sec.sjson = jsontext(ldisks);
    sec.sotherjson = otherjson(lothers);
    sec.sprom = promtext(ldisks, lothers);
    sec.bok = true;
    return sec;
}

}  // namespace

disksjob disks_start(velka::logger::source* plogsrc) {
    disksjob job;
    std::list<std::string> lscsi, lblock;
    utilities::readdir(s_scsidevices, lscsi);
    utilities::readdir(s_sysblock, lblock);
    job.bnodevices = lscsi.empty() && lblock.empty();
    if (job.bnodevices || geteuid() != 0) return job;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        job.serror = strerror(errno);
        return job;
    }
    fflush(nullptr);
    // The overlay's layers: a directory the child covers with a tmpfs of its own; removed
    // once the child is gone.
    char stemplate[] = "/tmp/velka-inventory.XXXXXX";
    const char* slayers = mkdtemp(stemplate);
    if (slayers != nullptr) job.slayers = slayers;
    pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string sout, serr;
        if (!coverudevdata(slayers, serr)) {
            sout = "Ethe disks cannot be examined here (" + serr + ")";
        } else {
            // The child writes its log lines itself (the core's dispatch thread is the
            // parent's), straight to the log file.
            sout = packed(examine(plogsrc));
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
    if (pid < 0) {
        job.serror = strerror(errno);
        ::close(fds[0]);
        if (!job.slayers.empty()) rmdir(job.slayers.c_str());
        job.slayers.clear();
        return job;
    }
    job.pid = pid;
    job.ifd = fds[0];
    job.bchild = true;
    return job;
}

diskssection disks_finish(disksjob& job, velka::logger::source* plogsrc) {
    diskssection sec;
    if (job.bchild) {
        std::string sin;
        char buf[65536];
        for (;;) {
            ssize_t r = read(job.ifd, buf, sizeof(buf));
            if (r > 0)
                sin.append(buf, static_cast<size_t>(r));
            else if (r == 0 || errno != EINTR)
                break;
        }
        ::close(job.ifd);
        job.ifd = -1;
        while (waitpid(job.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        job.bchild = false;
        if (!job.slayers.empty()) rmdir(job.slayers.c_str());
        if (unpacked(sin, sec)) {
            sec.bok = true;
            return sec;
        }
        sec = diskssection();
        sec.snote =
            "velka-inventory: " +
            (sin.empty() ? std::string("the disks cannot be examined here") : sin.substr(1)) + "\n";
    } else if (!job.serror.empty()) {
        sec.snote = "velka-inventory: the disks cannot be examined here (" + job.serror + ")\n";
    } else if (job.bnodevices) {
        sec.bok = true;  // nothing to examine
    } else {
        // Without root the manager cannot write the database and runs here.
        return examine(plogsrc);
    }
    sec.stable = tablestext({}, {});
    sec.sjson = sec.sotherjson = "[]";
    return sec;
}
