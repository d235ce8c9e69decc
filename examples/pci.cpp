// pci: every PCI function of this machine with its class and the kernel modules that the
// module table TABLE (modules.alias format) names for it.
//
//   pci TABLE
#include <cstdio>
#include <map>
#include <string>

#include <velka/logger>
#include <velka/pci>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pci TABLE\n");
        return 2;
    }
    // A manager without a logging source is silent.
    velka::pci::pci_cfg cfg(argv[1], velka::pci::alias_engine, nullptr);
    cfg.enumerate_drivers();

    for (const velka::pci::pci& dev : cfg.get_devices())
        printf("%s  %04x:%04x  %s  [%s]\n", dev.busidtostr().c_str(), dev.get_vendorid(),
               dev.get_deviceid(), dev.get_classdesc().c_str(), dev.get_drivers().c_str());

    // A lambda with captures as the callback: functions per class description.
    std::map<std::string, unsigned int> mclasses;
    cfg.for_each_pci([&mclasses](velka::pci::pci& dev) { ++mclasses[dev.get_classdesc()]; });
    for (const auto& it : mclasses) printf("%5u  %s\n", it.second, it.first.c_str());
    return 0;
}
