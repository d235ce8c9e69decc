// RAID detection for bare-metal recovery. The platform reads raidvg_disks from the kernel
// command line when it is made; set_platform_details asks dmidecode for the manufacturer and,
// on a Cisco server, counts the MegaRAID adapters (MegaCli64 -showsummary per adapter until
// one is absent) and lists each adapter's RAID-1 virtual drives and their physical drives
// (MegaCli64 -LdPdInfo). The nodes are owned by their parents and freed with the platform.
#include <velka/detectraid>

#include "internal/detectraid.h"

#include <vector>

#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace bmr {

const std::string sconfigfile = "/proc/cmdline";
const std::string raidvgparam = "raidvg_disks";

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "detectraid.cpp";
const char* const s_megacli = "/opt/MegaRAID/MegaCli/MegaCli64";
const int s_maxadapters = 20;

std::vector<std::string> split(const std::string& stext, const char* sdelim) {
    std::vector<char> vbuf(stext.begin(), stext.end());
    vbuf.push_back('\0');
    std::vector<char> vdelim(sdelim, sdelim + std::char_traits<char>::length(sdelim) + 1);
    std::vector<std::string> vwords;
    utilities::tokenize(vbuf.data(), vdelim.data(), vwords);
    return vwords;
}

// The trimmed text after the line's first ':'; empty without one.
std::string valueof(const std::string& sline) {
    std::string sname, svalue;
    if (utilities::nvpair(sline, sname, svalue) != 0) return "";
    return svalue;
}

// dmidecode
std::string dmidecodecmd() {
    return "dmidecode";
}

// /opt/MegaRAID/MegaCli/MegaCli64 -showsummary -a{n}
std::string summarycmd(int iadapter) {
    return std::string(s_megacli) + " -showsummary -a" + utilities::itostr(iadapter);
}

// /opt/MegaRAID/MegaCli/MegaCli64 -LdPdInfo -a{n}
std::string ldpdinfocmd(int iadapter) {
    return std::string(s_megacli) + " -LdPdInfo -a" + utilities::itostr(iadapter);
}

}  // namespace

std::string get_raid_type(const std::string& str) {
    // Primary-{p}, Secondary-{s}, RAID Level Qualifier-{q}: RAID-1 for p 1 and q 0 or 1.
    std::vector<std::string> vfields = split(str, ",");
    if (vfields.size() < 3) return "";
    std::string sname, sprimary, squalifier;
    if (utilities::nvpair_token(vfields[0], sname, sprimary, "-") != 0) return "";
    if (utilities::nvpair_token(vfields[2], sname, squalifier, "-") != 0) return "";
    if (sprimary == "1" && (squalifier == "0" || squalifier == "1")) return "RAID-1";
    return "";
}

// ---- physical_disk ----

physical_disk::physical_disk() : log_source(nullptr) {}

void physical_disk::set_log_source(velka::logger::source* plog) {
    log_source = plog;
}
void physical_disk::set_media_type(const std::string& str) {
    media_type = str;
}
void physical_disk::set_inquiry_data(const std::string& str) {
    inquiry_data = str;
}
std::string physical_disk::get_media_type() const {
    return media_type;
}
std::string physical_disk::get_inquiry_data() const {
    return inquiry_data;
}

// ---- virtual_disk ----

virtual_disk::virtual_disk() : log_source(nullptr), targetid(0) {}

virtual_disk::~virtual_disk() {
    for (auto* p : phy_list) delete p;
}

void virtual_disk::set_log_source(velka::logger::source* plog) {
    log_source = plog;
}
std::string virtual_disk::get_raid_type() const {
    return raid_type;
}
void virtual_disk::set_raid_type(const std::string& str) {
    raid_type = str;
}
void virtual_disk::insert_obj(physical_disk* phy_obj) {
    phy_list.push_front(phy_obj);
}
void virtual_disk::set_targetid(const std::string& str) {
    targetid = utilities::strtoi(str);
}
void virtual_disk::set_device_path(const std::string& str) {
    device_path = str;
}
std::string virtual_disk::get_device_path() const {
    return device_path;
}
std::list<physical_disk*>& virtual_disk::get_phy_list() {
    return phy_list;
}
int virtual_disk::get_targetid() const {
    return targetid;
}

// ---- adapter ----

adapter::adapter() : log_source(nullptr) {}

adapter::~adapter() = default;

void adapter::set_log_source(velka::logger::source* plog) {
    log_source = plog;
}

std::list<virtual_disk*>& adapter::get_virt_list() {
    return virt_list;
}

int adapter::set_details(int adp_index) {
    std::string scmd = ldpdinfocmd(adp_index);
    std::list<std::string> llines;
    int iret = utilities::popen(scmd, llines, 100);
    if (iret != 0) {
        velka::detail::fail(log_source, s_file, "adapter::set_details", scmd + " execution failed");
        return iret;
    }
    parseldpdinfo(llines);
    return 0;
}

void adapter::parseldpdinfo(const std::list<std::string>& llines) {
    // Each line is tested against the five kinds in this order; a line may be of several.
    virtual_disk* pvirt = nullptr;
    physical_disk* pphys = nullptr;
    for (const auto& sline : llines) {
        // 1. "Virtual Drive: 0 (Target Id: 0)" starts a drive; its target id is the text
        //    between the second ':' and the closing parenthesis. Older MegaCli releases
        //    print "Virtual Disk: 0 (Target Id: 0)" instead.
        if (sline.find("Virtual Drive:") != std::string::npos ||
            sline.find("Virtual Disk:") != std::string::npos) {
            all_virt.emplace_back(new virtual_disk());
            pvirt = all_virt.back().get();
            pvirt->set_log_source(log_source);
            pphys = nullptr;
            std::string starget = valueof(valueof(sline));
            if (!starget.empty()) pvirt->set_targetid(starget.substr(0, starget.size() - 1));
        }
        // 2. "PD: 0 Information" starts a physical drive of the current virtual drive.
        if (sline.find("PD:") != std::string::npos && pvirt != nullptr) {
            pphys = new physical_disk();
            pphys->set_log_source(log_source);
            pvirt->insert_obj(pphys);
        }
        // 3. "Name" of the current virtual drive.
        if (sline.find("Name") != std::string::npos && pvirt != nullptr)
            pvirt->set_raid_type(valueof(sline));
        // 4. "RAID Level": a RAID-1 drive is kept by the adapter (once).
        if (sline.find("RAID Level") != std::string::npos && pvirt != nullptr &&
            get_raid_type(valueof(sline)) == "RAID-1") {
            if (virt_list.empty() || virt_list.front() != pvirt) {
                virt_list.push_front(pvirt);
                velka::detail::note(log_source, s_file, "adapter::set_details",
                                    "RAID level 1 found");
            }
        }
        // 5. "Media Type" of the current physical drive.
        if (sline.find("Media Type") != std::string::npos && pphys != nullptr)
            pphys->set_media_type(valueof(sline));
    }
}

// ---- platform ----

platform::platform(velka::logger::source* plog) : log_source(plog), adp_count(0) {
    // raidvg_disks={name}:{name}... on the kernel command line; every occurrence counts.
    // The whole file, split as the kernel splits its parameters.
    std::list<std::string> llines;
    utilities::readlinesinfile(sconfigfile, llines);
    std::vector<std::pair<std::string, std::string>> lparams;
    utilities::kernelparams(utilities::merge(llines, "\n"), lparams);
    for (const auto& kv : lparams) {
        if (kv.first != raidvgparam) continue;
        for (const auto& sdisk : split(kv.second, ":")) {
            raidvg_disks.insert(sdisk);
            velka::detail::note(
                log_source, s_file, "platform::platform",
                "Found a disk " + sdisk + " to be inserted in the root vg disks set");
        }
    }
}

platform::~platform() {
    for (auto* p : adp_list) delete p;
}

std::string platform::get_platform_name() const {
    return platform_name;
}

int platform::set_platform_name() {
    std::list<std::string> llines;
    int iret = utilities::popen(dmidecodecmd(), llines, 100);
    if (iret != 0) {
        velka::detail::fail(log_source, s_file, "platform::set_platform",
                            "Failed to run dmidecode command");
        return iret;
    }
    return parseplatformname(llines, platform_name, log_source);
}

int parseplatformname(const std::list<std::string>& llines,
                      std::string& sname,
                      velka::logger::source* plog) {
    // "System Information" followed at once by "Manufacturer: {name}"; dmidecode 2.2 and
    // older print "System Information Block" followed by "Vendor: {name}".
    sname.clear();
    for (auto it = llines.begin(); it != llines.end(); ++it) {
        if (it->find("System Information") == std::string::npos) continue;
        auto inext = std::next(it);
        if (inext == llines.end()) break;
        bool bold = it->find("System Information Block") != std::string::npos &&
                    inext->compare(0, 7, "Vendor:") == 0;
        if (!bold && inext->find("Manufacturer") == std::string::npos) continue;
        std::string skey, svalue;
        if (utilities::nvpair(*inext, skey, svalue) != 0) {
            velka::detail::fail(plog, s_file, "platform::set_platform",
                                "Failed to extract Manufacturer name " + *inext);
            return -1;
        }
        sname = svalue;
        return 0;
    }
    return 0;
}

bool adapterpresent(const std::list<std::string>& llines) {
    // Every "Exit Code: ..." line must say 0x00, and one at least must be there: a tool
    // that printed nothing (absent, or failed before its summary) has no adapter to show.
    bool bexitcode = false;
    for (const auto& sline : llines) {
        if (sline.find("Exit Code") == std::string::npos) continue;
        size_t pos = sline.find(':');
        if (pos == std::string::npos) continue;
        if (utilities::trim(sline.substr(pos + 1)) != "0x00") return false;
        bexitcode = true;
    }
    return bexitcode;
}

int platform::set_adp_count() {
    int n = 0;
    for (; n < s_maxadapters; ++n) {
        std::string scmd = summarycmd(n);
        velka::detail::note(log_source, s_file, "platform::set_adp_count",
                            "Executing the command: " + scmd);
        std::list<std::string> llines;
        int iret = utilities::popen(scmd, llines, 100);
        if (iret != 0) {
            velka::detail::fail(log_source, s_file, "platform::set_adp_count",
                                scmd + " execution failed");
            return iret;
        }
        if (!adapterpresent(llines)) break;
    }
    adp_count = n;
    return adp_count;
}

int platform::update_count(int count) {
    adp_count = count < 0 ? 0 : count;
    return adp_count;
}

int platform::get_adp_count() const {
    return adp_count;
}

void platform::set_platform_details() {
    set_platform_name();
    if (platform_name.find("Cisco") == std::string::npos) return;
    set_adp_count();
    for (int n = 0; n < adp_count; ++n) {
        adapter* padapter = new adapter();
        padapter->set_log_source(log_source);
        padapter->set_details(n);
        adp_list.push_front(padapter);
    }
}

std::list<adapter*>& platform::get_adp_list() {
    return adp_list;
}

bool platform::is_raidvg_disk(const std::string& disk) const {
    return raidvg_disks.find(disk) != raidvg_disks.end();
}

const std::set<std::string>& platform::get_raidvg_disks() const {
    return raidvg_disks;
}

}  // namespace bmr
}  // namespace velka
