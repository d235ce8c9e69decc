// velka-inventory: prints what the library finds out about this host. It only reads: no
// file, device or setting of the machine is changed.
//
//   velka-inventory [--json]
#include <cstdio>
#include <cstring>
#include <list>
#include <string>

#include <velka/platform>
#include <velka/utilities>

namespace {

using velka::platform::platform;
using velka::utilities::utilities;

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
};

inventory collect() {
    inventory inv;
    inv.ultotalmem = platform::get_totalmemory();
    inv.ulfreemem = platform::get_freememory();
    inv.uicores = platform::get_numcpucores();
    inv.befi = platform::isEFIfirmware();
    std::list<std::string> lnames;
    platform::getnwintfxlist(lnames);
    for (const auto& sname : lnames) {
        if (sname.empty()) continue;
        interface intf {
            sname, false, 0
        };
        intf.bspeed = platform::get_link_speed(sname, intf.ulspeed) == 0 && intf.ulspeed > 0;
        inv.linterfaces.push_back(intf);
    }
    return inv;
}

std::string jsonstring(const std::string& s) {
    std::string sout("\"");
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                sout += "\\\"";
                break;
            case '\\':
                sout += "\\\\";
                break;
            case '\n':
                sout += "\\n";
                break;
            case '\t':
                sout += "\\t";
                break;
            case '\r':
                sout += "\\r";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    snprintf(buf, sizeof(buf), "\\u%04x", c);
                    sout += buf;
                } else {
                    sout.push_back(static_cast<char>(c));
                }
        }
    }
    return sout + "\"";
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
    printf("%s]\n  }\n}\n", inv.linterfaces.empty() ? "" : "\n    ");
}

void printtable(const inventory& inv) {
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
}

void usage(FILE* out) {
    fprintf(out, "usage: velka-inventory [--json]\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool bjson = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            bjson = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "velka-inventory: unknown argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    inventory inv = collect();
    if (bjson)
        printjson(inv);
    else
        printtable(inv);
    return 0;
}
