// The readers of the kernel command line and the dhclient lease file. Internal to the library: not
// exported from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_PXEBOOT_H
#define VELKA_INTERNAL_PXEBOOT_H

#include <list>
#include <map>
#include <string>

#include <velka/pxeboot>

namespace velka {
namespace pxeboot {

// The parsers of outside text, as the operations above use them (plog may be null).
// One kernel command line, split as the kernel splits it (utilities::kernelparams: any
// white space separates, double quotes group and are removed); the first occurrence of a
// key wins. The value of "password" is logged as "********".
void parsecmdline(const std::string& sline,
                  std::map<std::string, std::string>& params,
                  velka::logger::source* plog);

// The lines of a dhclient lease file into the keys interface, ipaddress, netmask, gateway
// and nameserver, from the last complete lease block whose interface is sintfx (the
// lease dhclient itself would use); other interfaces' leases and a block without its
// closing "}" are not read. kvmap stays empty when there is no such lease. Always 0.
int parseleaselines(const std::list<std::string>& llines,
                    const std::string& sintfx,
                    std::map<std::string, std::string>& kvmap,
                    velka::logger::source* plog);

}  // namespace pxeboot
}  // namespace velka

#endif
