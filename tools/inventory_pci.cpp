// PCI section of velka-inventory: enumerates the functions through velka::pci::pci_cfg with a
// kernel module table and prints them as a table or as JSON. Only reads: sysfs and the table.
#include "inventory_pci.h"
#include "inventory_common.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <list>
#include <string>
#include <vector>

#include <velka/pci>
#include <velka/utilities>

namespace {

using invtools::jsonstring;
using invtools::printable;

using velka::utilities::utilities;

using function = pcisection::function;
using section = pcisection;

std::string hex(unsigned int ui, int iwidth) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%0*x", iwidth, ui);
    return buf;
}

std::string kernelrelease() {
    struct utsname u;
    return uname(&u) == 0 ? u.release : "";
}

// The running kernel's modules.alias, or the newest installed kernel's.
void defaulttable(section& sec) {
    std::string srelease = kernelrelease();
    std::string srun = "/lib/modules/" + srelease + "/modules.alias";
    if (access(srun.c_str(), R_OK) == 0) {
        sec.stable = srun;
        sec.ssource = "running kernel";
        return;
    }
    std::list<std::string> l;
    utilities::popen("ls -d /lib/modules/*/modules.alias 2>/dev/null | sort -V | tail -n 1", l, 0);
    if (!l.empty() && !l.back().empty()) {
        sec.stable = l.back();
        sec.ssource = "newest installed kernel; the running kernel " + srelease + " has none";
    } else {
        sec.ssource = "none found: the running kernel " + srelease +
                      " has no modules.alias and no other kernel is installed";
    }
}

void collectfunction(velka::pci::pci& p, void* arg) {
    auto* pl = static_cast<std::vector<function>*>(arg);
    function f;
    f.saddress = hex(p.get_zone(), 4) + ":" + hex(p.get_bus(), 2) + ":" + hex(p.get_device(), 2) +
                 "." + hex(p.get_function(), 1);
    f.svendor = hex(p.get_vendorid(), 4);
    f.sdevice = hex(p.get_deviceid(), 4);
    f.sssvendor = hex(p.get_ssvendorid(), 4);
    f.sssdevice = hex(p.get_ssdeviceid(), 4);
    f.sclass = hex(p.get_class(), 6);
    f.sclassname = p.get_classdesc();
    for (const auto& s : p.get_driver())
        if (!s.empty()) f.ldrivers.push_back(s);
    pl->push_back(f);
}

}  // namespace

pcisection pci_collect(const std::string& stable, velka::logger::source* plogsrc) {
    section sec;
    if (stable.empty()) {
        defaulttable(sec);
    } else {
        sec.stable = stable;
        sec.ssource = "given";
    }
    sec.breadable = !sec.stable.empty() && access(sec.stable.c_str(), R_OK) == 0 &&
                    utilities::isfile(sec.stable);
    bool bpcimap =
        sec.stable.size() >= 6 && sec.stable.compare(sec.stable.size() - 6, 6, "pcimap") == 0;
    // Without a usable table the enumeration still runs; nothing is matched.
    velka::pci::pci_cfg cfg(sec.breadable ? sec.stable : std::string("/nonexistent"),
                            bpcimap ? velka::pci::pcimap_engine : velka::pci::alias_engine,
                            plogsrc);
    cfg.for_each_pci(collectfunction, &sec.lfunctions);
    return sec;
}

namespace {

std::string joined(const std::list<std::string>& l) {
    std::string s;
    for (const auto& d : l) s += (s.empty() ? "" : " ") + d;
    return s;
}

}  // namespace

void pci_table(FILE* out, const pcisection& sec, bool bfull) {
    fprintf(out, "PCI functions\n");
    if (sec.stable.empty())
        fprintf(out, "  %-22s %s\n", "Module table", sec.ssource.c_str());
    else
        fprintf(out, "  %-22s %s (%s)%s\n", "Module table", printable(sec.stable).c_str(),
                sec.ssource.c_str(), sec.breadable ? "" : ": cannot be read, no drivers matched");
    if (sec.lfunctions.empty()) {
        fprintf(out, "  no PCI function could be read%s\n",
                geteuid() == 0 ? "" : " (reading configuration space needs root)");
        return;
    }
    if (bfull)
        fprintf(out, "  %-12s  %-9s  %-9s  %-6s  %-30s %s\n", "Address", "Id", "Subsystem", "Class",
                "Class name", "Drivers");
    else
        fprintf(out, "  %-12s  %-9s  %-30s %s\n", "Address", "Id", "Class name", "Drivers");
    for (const auto& f : sec.lfunctions) {
        std::string sdrivers = f.ldrivers.empty() ? "-" : printable(joined(f.ldrivers));
        if (bfull)
            fprintf(out, "  %-12s  %s:%s  %s:%s  %-6s  %-30s %s\n", f.saddress.c_str(),
                    f.svendor.c_str(), f.sdevice.c_str(), f.sssvendor.c_str(), f.sssdevice.c_str(),
                    f.sclass.c_str(), f.sclassname.c_str(), sdrivers.c_str());
        else
            fprintf(out, "  %-12s  %s:%s  %-30s %s\n", f.saddress.c_str(), f.svendor.c_str(),
                    f.sdevice.c_str(), f.sclassname.c_str(), sdrivers.c_str());
    }
}

std::string pci_json(const pcisection& sec) {
    std::string s = "{\"module_table\": " + (sec.stable.empty() ? "null" : jsonstring(sec.stable)) +
                    ", \"module_table_source\": " + jsonstring(sec.ssource) +
                    ", \"module_table_readable\": " + (sec.breadable ? "true" : "false") +
                    ", \"functions\": [";
    const char* sep = "\n";
    for (const auto& f : sec.lfunctions) {
        s += sep;
        s += "      {\"address\": " + jsonstring(f.saddress) +
             ", \"vendor\": " + jsonstring(f.svendor) + ", \"device\": " + jsonstring(f.sdevice) +
             ", \"subsystem_vendor\": " + jsonstring(f.sssvendor) +
             ", \"subsystem_device\": " + jsonstring(f.sssdevice) +
             ", \"class\": " + jsonstring(f.sclass) +
             ", \"class_name\": " + jsonstring(f.sclassname) + ", \"drivers\": [";
        const char* dsep = "";
        for (const auto& d : f.ldrivers) {
            s += dsep + jsonstring(d);
            dsep = ", ";
        }
        s += "]}";
        sep = ",\n";
    }
    s += sec.lfunctions.empty() ? "]}" : "\n    ]}";
    return s;
}

void pci_prom(const pcisection& sec, invtools::promtext& prom) {
    if (!sec.breadable) return;
    for (const auto& f : sec.lfunctions) {
        if (!f.ldrivers.empty()) continue;
        prom.add("velka_pci_function_without_driver",
                 "A PCI function for which the kernel's module table names no driver.",
                 invtools::labels({{"address", f.saddress},
                                   {"vendor_id", f.svendor},
                                   {"device_id", f.sdevice},
                                   {"class", f.sclassname}}),
                 1);
    }
}
