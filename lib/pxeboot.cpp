// The network-boot environment. The kernel command line is read once into a map; the queries
// look their keys up in it. Bringing an interface up runs ifconfig and dhclient, stops the
// DHCP client (keeping its lease), reads the lease and pins the leased settings with ifconfig,
// route and the resolver file. The boot share is mounted with mount (NFS) or mount.cifs. Each
// command line is built in a builder of its own below, every inserted value quoted for the
// shell and every operand refused when it begins with '-'. The share password is never
// logged: the logged CIFS command and the logged command-line parameter show it masked. Nor
// does it stand in any argument list: mount.cifs reads it from PASSWD in its environment.
#include <velka/pxeboot>

#include "internal/pxeboot.h"

#include <algorithm>
#include <vector>

#include <velka/platform>
#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace pxeboot {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "pxeboot.cpp";
const char* const s_mask = "********";
// The Part of the command line and the lease file this class reads.
const char* const s_leasefile = "/var/lib/dhclient/dhclient.leases";
const char* const s_debianleasefile = "/var/lib/dhcp/dhclient.leases";

std::string q(const std::string& svalue) {
    return utilities::shellquote(svalue);
}

// Splits stext at any of sdelim's characters, dropping empty pieces.
std::vector<std::string> split(const std::string& stext, const char* sdelim) {
    std::vector<char> vbuf(stext.begin(), stext.end());
    vbuf.push_back('\0');
    std::vector<char> vdelim(sdelim, sdelim + std::char_traits<char>::length(sdelim) + 1);
    std::vector<std::string> vwords;
    utilities::tokenize(vbuf.data(), vdelim.data(), vwords);
    return vwords;
}

std::string without(const std::string& svalue, const char* schars) {
    std::string sout;
    for (char c : svalue) {
        if (std::char_traits<char>::find(schars, std::char_traits<char>::length(schars), c) ==
            nullptr)
            sout.push_back(c);
    }
    return sout;
}

// Quotes an operand for the command line; a value beginning with '-' is refused and logged.
bool operand(velka::logger::source* plog,
             const char* stag,
             const std::string& swhat,
             const std::string& svalue,
             std::string& squoted) {
    if (utilities::quoteoperand(svalue, squoted)) return true;
    velka::detail::refuse(plog, s_file, stag,
                          swhat + " " + svalue + " refused: value begins with '-'", svalue);
    return false;
}

// ifconfig {interface} up
std::string ifupcmd(const std::string& sqintfx) {
    return "ifconfig " + sqintfx + " up";
}

// dhclient [ -s {server}] {interface}   (always two blanks after dhclient)
std::string dhclientcmd(const std::string& sqintfx, const std::string& sqdhcp) {
    std::string scmd = "dhclient ";
    if (!sqdhcp.empty()) scmd += " -s " + sqdhcp;
    return scmd + " " + sqintfx;
}

// dhclient -x   (stops the client; the lease is kept)
std::string dhclientstopcmd() {
    return "dhclient -x";
}

// ifconfig {interface} {address} netmask {mask}
std::string ifaddrcmd(const std::string& sqintfx,
                      const std::string& sqipaddr,
                      const std::string& sqnetmask) {
    return "ifconfig " + sqintfx + " " + sqipaddr + " netmask " + sqnetmask;
}

// route add default gw {gateway} {interface}
std::string routecmd(const std::string& sqgw, const std::string& sqintfx) {
    return "route add default gw " + sqgw + " " + sqintfx;
}

// mount -t nfs -o vers=3,nolock {server}:{directory} {mount path}
std::string nfsmountcmd(const std::string& sqshare, const std::string& sqmntpath) {
    return "mount -t nfs -o vers=3,nolock " + sqshare + " " + sqmntpath;
}

// /usr/sbin/mount.cifs   -ousername={user}{password option} //{server}{directory} {path}
// (three blanks before -ousername; the directory carries its own leading '/'). The command
// that runs has no password option; the logged one shows ",password=********" there.
std::string cifsmountcmd(const std::string& suser,
                         const std::string& spassopt,
                         const std::string& sqshare,
                         const std::string& sqmntpath) {
    return std::string("/usr/sbin/mount.cifs  ") + " -ousername=" + q(suser) + spassopt + " " +
           sqshare + " " + sqmntpath;
}

// Runs scmd with lenv added to its environment; on failure logs sfailure followed by the
// tool's error text, with every occurrence of shide (a password) masked. The command's result.
int runlogged(velka::logger::source* plog,
              const char* stag,
              const std::string& scmd,
              const std::string& sfailure,
              const std::string& shide = "",
              const std::vector<std::string>& lenv = std::vector<std::string>()) {
    std::string sout, serr;
    int iret = lenv.empty() ? velka::detail::system(scmd, sout, serr)
                            : velka::detail::system(scmd, sout, serr, "C", lenv);
    // The failure masks shide in its log line and in what it records.
    if (iret != 0) velka::detail::fail(plog, s_file, stag, sfailure + serr, shide);
    return iret;
}

}  // namespace

pxeboot::pxeboot(const std::string& cfg, velka::logger::source* plogger)
    : m_plogsrc(plogger),
      m_sconfigfile(cfg),
      interface("interface"),
      ipaddress("ipaddress"),
      netmask("netmask"),
      gateway("gateway"),
      nameserver("nameserver") {
    // The whole file: white space, newlines included, only separates words.
    std::list<std::string> llines;
    utilities::readlinesinfile(m_sconfigfile, llines);
    parsecmdline(utilities::merge(llines, "\n"), m_cmdlineparams, m_plogsrc);
}

void parsecmdline(const std::string& sline,
                  std::map<std::string, std::string>& params,
                  velka::logger::source* plog) {
    // Split as the kernel splits its parameters (white space separates, double quotes group
    // and are removed); the first occurrence of a key wins.
    std::vector<std::pair<std::string, std::string>> lparams;
    utilities::kernelparams(sline, lparams);
    for (const auto& kv : lparams) {
        velka::detail::note(plog, s_file, "pxeboot::pxeboot",
                            "Found kernel command line param " + kv.first + ":" +
                                (kv.first == "password" ? std::string(s_mask) : kv.second));
        params.insert(kv);
    }
}

bool pxeboot::ispxeboot(std::string& snfs, std::string& sdir, std::string& sprotocol) {
    const char* stag = "pxeboot::ispxeboot";
    auto it = m_cmdlineparams.find("method");
    if (it == m_cmdlineparams.end()) {
        velka::detail::fail(
            m_plogsrc, s_file, stag,
            "Failed to find method parameter in the kernel command line parameters");
        return false;
    }
    velka::detail::note(
        m_plogsrc, s_file, stag,
        "Found method parameter in the kernel command line parameters with a value " + it->second);
    std::vector<std::string> vfields = split(it->second, ":");
    // A value needs its protocol, server and directory; a shorter one is no boot method.
    if (vfields.size() < 3 || (vfields[0] != "nfs" && vfields[0] != "cifs")) {
        velka::detail::fail(m_plogsrc, s_file, stag,
                            "Failed to find nfs boot method in kernel command line parameters");
        return false;
    }
    sprotocol = vfields[0];
    snfs = vfields[1];
    sdir = vfields[2];
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Found nfs/cifs boot method in kernel command line parameters");
    velka::detail::note(m_plogsrc, s_file, stag, "Set protocol to " + sprotocol);
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Set nfs/cifs ip to " + snfs + " set directory to " + sdir);
    return true;
}

int pxeboot::confignwintfx(const std::string& sintfx, const std::string& sdhcp, nwinfo& info) {
    const char* stag = "pxeboot::confignwintfx";
    std::string sqintfx, sqdhcp;
    if (!operand(m_plogsrc, stag, "Network interface", sintfx, sqintfx)) return -1;
    if (!sdhcp.empty() && !operand(m_plogsrc, stag, "DHCP server", sdhcp, sqdhcp)) return -1;

    // 1. Interface up.
    std::string scmd = ifupcmd(sqintfx);
    velka::detail::note(m_plogsrc, s_file, stag,
                        "network interface " + sintfx + " will be brought up");
    int iret = runlogged(m_plogsrc, stag, scmd,
                         "Failed to activate network interface " + sintfx + " error: ");
    if (iret != 0) return iret;

    // 2. A lease through DHCP.
    scmd = dhclientcmd(sqintfx, sqdhcp);
    velka::detail::note(
        m_plogsrc, s_file, stag,
        "Dynamic IP address will be requested for " + sintfx + " using command " + scmd);
    iret = runlogged(m_plogsrc, stag, scmd,
                     "Failed to configure network interface " + sintfx + " error: ");
    if (iret != 0) return iret;

    // 3. The client stopped, its lease kept; a failure here is only logged.
    scmd = dhclientstopcmd();
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Stopping dhclient process using command: " + scmd);
    runlogged(m_plogsrc, stag, scmd, "Failed to stop dhclient process with error: ");

    // 4.-6. The lease read and applied statically.
    std::map<std::string, std::string> kvmap;
    iret = parsedhclientresp(sintfx, kvmap);
    if (iret != 0) {
        velka::detail::failcaught(m_plogsrc, s_file, stag,
                                  "Failed to parse dhclinet response file");
        return iret;
    }
    iret = parsekvmap(kvmap, info);
    if (iret != 0) {
        velka::detail::failcaught(m_plogsrc, s_file, stag,
                                  "Failed to parse dhclinet response key-value map");
        return iret;
    }
    iret = applynwsettings(info);
    if (iret != 0) {
        velka::detail::failcaught(m_plogsrc, s_file, stag,
                                  "Failed to apply network settings to " + sintfx);
        return iret;
    }
    return 0;
}

std::string pxeboot::leasefile() {
    if (utilities::isfile(s_leasefile)) return s_leasefile;
    return s_debianleasefile;
}

int pxeboot::parsedhclientresp(const std::string& sintfx,
                               std::map<std::string, std::string>& kvmap) {
    std::list<std::string> llines;
    utilities::readlinesinfile(leasefile(), llines);
    return parseleaselines(llines, sintfx, kvmap, m_plogsrc);
}

namespace {

// One line of a lease block (its words) as a key and value; false for a line of no interest.
// A line with fewer words than its form needs is of no interest.
//   interface "{v}";                      -> interface  ('"' and ';' removed)
//   fixed-address {v};                    -> ipaddress  (';' removed)
//   option subnet-mask {v};               -> netmask
//   option routers {v};                   -> gateway
//   option domain-name-servers {v};       -> nameserver
bool leasetuple(const std::vector<std::string>& vwords, std::string& skey, std::string& svalue) {
    if (vwords.size() >= 2 && vwords[0] == "interface") {
        skey = "interface";
        svalue = without(vwords[1], "\";");
        return true;
    }
    if (vwords.size() >= 2 && vwords[0] == "fixed-address") {
        skey = "ipaddress";
        svalue = without(vwords[1], ";");
        return true;
    }
    if (vwords.size() < 3 || vwords[0] != "option") return false;
    if (vwords[1] == "subnet-mask")
        skey = "netmask";
    else if (vwords[1] == "routers")
        skey = "gateway";
    else if (vwords[1] == "domain-name-servers")
        skey = "nameserver";
    else
        return false;
    svalue = without(vwords[2], ";");
    return true;
}

}  // namespace

int parseleaselines(const std::list<std::string>& llines,
                    const std::string& sintfx,
                    std::map<std::string, std::string>& kvmap,
                    velka::logger::source* plog) {
    const char* stag = "pxeboot::parsedhclientresp";
    // dhclient appends each lease it obtains as a block, "lease {" to a line "}", and uses the
    // last one: the last complete block of the interface (its first "interface" line) wins.
    // Other interfaces' blocks, lines outside any block and a block cut short (no "}" before
    // the next "lease {" or the end of the file) are not read. Each line is split on blanks
    // (the indentation drops out) once.
    typedef std::vector<std::pair<std::string, std::string>> tuples;
    tuples vblock, vchosen;
    bool binblock = false;
    for (const auto& sline : llines) {
        std::vector<std::string> vwords = split(sline, " ");
        std::string skey, svalue;
        if (vwords.size() >= 2 && vwords[0] == "lease" && vwords.back() == "{") {
            vblock.clear();
            binblock = true;
        } else if (binblock && utilities::trim(sline) == "}") {
            auto it = std::find_if(vblock.begin(), vblock.end(), [](const tuples::value_type& kv) {
                return kv.first == "interface";
            });
            if (it != vblock.end() && it->second == sintfx) vchosen = vblock;
            binblock = false;
        } else if (binblock && leasetuple(vwords, skey, svalue)) {
            vblock.emplace_back(skey, svalue);
        }
    }
    if (vchosen.empty()) {
        velka::detail::fail(plog, s_file, stag,
                            "No complete lease of interface " + sintfx + " in the lease file");
        return 0;
    }
    // Within the block the first occurrence of a key wins.
    for (const auto& kv : vchosen) {
        velka::detail::note(plog, s_file, stag, "Found tuple <" + kv.first + "," + kv.second + ">");
        kvmap.insert(kv);
    }
    return 0;
}

int pxeboot::extractparam(const std::map<std::string, std::string>& kvmap,
                          const std::string& key,
                          std::string& value) {
    auto it = kvmap.find(key);
    if (it == kvmap.end()) {
        velka::detail::fail(m_plogsrc, s_file, "pxeboot::extractparam",
                            "Failed to find key " + key + " in the key/value map");
        return -1;
    }
    value = it->second;
    velka::detail::note(m_plogsrc, s_file, "pxeboot::extractparam",
                        "Found key " + key + " in the key/value map with a value of " + value);
    return 0;
}

int pxeboot::parsekvmap(const std::map<std::string, std::string>& kvmap, nwinfo& info) {
    if (extractparam(kvmap, interface, info.m_sintfx) != 0) return -1;
    if (extractparam(kvmap, ipaddress, info.m_sipaddr) != 0) return -1;
    std::string srouters;
    if (extractparam(kvmap, gateway, srouters) != 0) return -1;
    // The routers option lists the routers in order of preference: the first is the gateway.
    std::vector<std::string> vrouters = split(srouters, ",");
    info.m_sdefaultgw = vrouters.empty() ? std::string() : vrouters.front();
    if (extractparam(kvmap, netmask, info.m_snetmask) != 0) return -1;
    std::string sservers;
    if (extractparam(kvmap, nameserver, sservers) != 0) return -1;
    // The option lists its servers separated by commas: one resolver entry each.
    for (const auto& sserver : split(sservers, ",")) info.m_ldns.push_back(sserver);
    return 0;
}

int pxeboot::applynwsettings(nwinfo& info) {
    const char* stag = "pxeboot::applynwsettings";
    std::string sqintfx, sqipaddr, sqnetmask, sqgw;
    if (!operand(m_plogsrc, stag, "Network interface", info.m_sintfx, sqintfx) ||
        !operand(m_plogsrc, stag, "IP address", info.m_sipaddr, sqipaddr) ||
        !operand(m_plogsrc, stag, "Network mask", info.m_snetmask, sqnetmask) ||
        !operand(m_plogsrc, stag, "Default gateway", info.m_sdefaultgw, sqgw))
        return -1;

    std::string scmd = ifaddrcmd(sqintfx, sqipaddr, sqnetmask);
    velka::detail::note(
        m_plogsrc, s_file, stag,
        "Network will be configured on device " + info.m_sintfx + "using command " + scmd);
    int iret = runlogged(m_plogsrc, stag, scmd,
                         "Failed to configure network interface " + info.m_sintfx + " error: ");
    if (iret != 0) return iret;

    scmd = routecmd(sqgw, sqintfx);
    velka::detail::note(
        m_plogsrc, s_file, stag,
        "Default gateway will be configured as " + info.m_sdefaultgw + "using command " + scmd);
    iret = runlogged(m_plogsrc, stag, scmd,
                     std::string("Failed to configure default gateway ") + " error: ");
    if (iret != 0) return iret;

    iret = velka::platform::platform::updatenameserver(info.m_ldns);
    if (iret != 0) {
        velka::detail::failcaught(m_plogsrc, s_file, stag, "Failed to update nameserver entries");
        return iret;
    }
    return 0;
}

bool pxeboot::filterzoandrives() {
    auto it = m_cmdlineparams.find("exclude_zoan_data_disks");
    if (it == m_cmdlineparams.end()) {
        velka::detail::fail(
            m_plogsrc, s_file, "pxeboot::filterzoandrives",
            "Failed to find exclude_zoan_data_disks parameter in the kernel command line "
            "parameters");
        return false;
    }
    velka::detail::note(
        m_plogsrc, s_file, "pxeboot::filterzoandrives",
        "Found exclude_zoan_data_disks parameter in the kernel command line parameters with a "
        "value " +
            it->second);
    return utilities::strtoi(it->second) != 0;
}

int pxeboot::getlinkspeed(unsigned int& speed) {
    auto it = m_cmdlineparams.find("linkspeed");
    if (it == m_cmdlineparams.end()) {
        velka::detail::fail(
            m_plogsrc, s_file, "pxeboot::getlinkspeed",
            "Failed to find linkspeed parameter in the kernel command line parameters");
        return -1;
    }
    velka::detail::note(
        m_plogsrc, s_file, "pxeboot::getlinkspeed",
        "Found linkspeed parameter in the kernel command line parameters with a value " +
            it->second);
    speed = utilities::strtoui(it->second);
    return 0;
}

int pxeboot::getcredentials(std::string& uname, std::string& passwd) {
    const char* stag = "pxeboot::getcredentials";
    auto it = m_cmdlineparams.find("username");
    if (it == m_cmdlineparams.end()) {
        velka::detail::fail(
            m_plogsrc, s_file, stag,
            "Failed to find username parameter in the kernel command line parameters");
        return -1;
    }
    uname = it->second;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Found username parameter in the kernel command line");
    it = m_cmdlineparams.find("password");
    if (it == m_cmdlineparams.end()) {
        velka::detail::fail(
            m_plogsrc, s_file, stag,
            "Failed to find password parameter in the kernel command line parameters");
        return -1;
    }
    passwd = it->second;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Found password parameter in the kernel command line");
    return 0;
}

int pxeboot::getcustomdrivers(std::list<std::string>& ldrivers) {
    auto it = m_cmdlineparams.find("custom_drivers");
    if (it == m_cmdlineparams.end()) {
        velka::detail::fail(
            m_plogsrc, s_file, "pxeboot::getcustomdrivers",
            "Failed to find custom_drivers parameter in the kernel command line parameters");
        return -1;
    }
    velka::detail::note(
        m_plogsrc, s_file, "pxeboot::getcustomdrivers",
        "Found custom_drivers parameter in the kernel command line parameters with a value " +
            it->second);
    ldrivers.clear();
    for (const auto& sdriver : split(it->second, ":")) ldrivers.push_back(sdriver);
    return 0;
}

int pxeboot::mountshare(const std::string& saddr,
                        const std::string& sdir,
                        const std::string& smntpath,
                        const std::string& sprotocol,
                        const std::string& suser,
                        const std::string& spasswd) {
    if (sprotocol == "nfs") return mountnfsshare(saddr, sdir, smntpath, suser, spasswd);
    if (sprotocol == "cifs") return mountcifsshare(saddr, sdir, smntpath, suser, spasswd);
    return 0;
}

int pxeboot::mountnfsshare(const std::string& snfsaddr,
                           const std::string& snfsdir,
                           const std::string& smntpath,
                           const std::string& /*suser*/,
                           const std::string& /*spasswd*/) {
    const char* stag = "pxeboot::mountnfsshare";
    std::string sqshare, sqmntpath;
    if (!operand(m_plogsrc, stag, "NFS server", snfsaddr, sqshare) ||
        !operand(m_plogsrc, stag, "Mount path", smntpath, sqmntpath))
        return -1;
    sqshare = q(snfsaddr + ":" + snfsdir);
    std::string scmd = nfsmountcmd(sqshare, sqmntpath);
    velka::detail::note(m_plogsrc, s_file, stag,
                        "nfs mount path will be mounted using command " + scmd);
    return runlogged(m_plogsrc, stag, scmd,
                     std::string("Failed to mount nfs mount path ") + " error: ");
}

int pxeboot::mountcifsshare(const std::string& scifsaddr,
                            const std::string& scifsdir,
                            const std::string& smntpath,
                            const std::string& suser,
                            const std::string& spasswd) {
    const char* stag = "pxeboot::mountcifsshare";
    std::string sqshare, sqmntpath;
    if (!operand(m_plogsrc, stag, "CIFS server", scifsaddr, sqshare) ||
        !operand(m_plogsrc, stag, "Mount path", smntpath, sqmntpath))
        return -1;
    // mount.cifs separates its options at ',': a comma in the user name would end it and
    // start an option of the caller's choosing. The password is no option: mount.cifs takes
    // PASSWD whole, commas included.
    if (suser.find(',') != std::string::npos) {
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              "User name " + suser + " refused: value contains ','");
        return -1;
    }
    sqshare = q("//" + scifsaddr + scifsdir);
    // The password goes into the helper's environment only (set even when empty: without
    // it mount.cifs would prompt for one).
    std::string scmd = cifsmountcmd(suser, "", sqshare, sqmntpath);
    velka::detail::note(
        m_plogsrc, s_file, stag,
        "cifs share will be mounted using command " +
            cifsmountcmd(suser, std::string(",password=") + s_mask, sqshare, sqmntpath));
    return runlogged(m_plogsrc, stag, scmd,
                     std::string("Failed to mount cifs share ") + " error: ", spasswd,
                     {"PASSWD=" + spasswd});
}

}  // namespace pxeboot
}  // namespace velka
