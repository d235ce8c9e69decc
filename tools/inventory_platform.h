// The platform section of velka-inventory: memory, processor cores, firmware type and the
// network interfaces with their link speeds.
#ifndef VELKA_TOOLS_INVENTORY_PLATFORM_H
#define VELKA_TOOLS_INVENTORY_PLATFORM_H

#include <cstdio>
#include <list>
#include <string>
#include <utility>

#include <velka/logger>

struct platformfacts {
    struct interface {
        std::string sname;
        bool bspeed;
        unsigned long ulspeed;
    };
    unsigned long ultotalmem = 0;
    unsigned long ulfreemem = 0;
    unsigned int uicores = 0;
    bool befi = false;
    std::list<interface> linterfaces;
    // Tools the section runs that are not installed, each with what is unknown without it.
    std::list<std::pair<std::string, std::string>> lmissing;
    bool bok = false;  // memory and interfaces were read
};

// bconcurrent: the link speeds are asked for all at once.
platformfacts platform_collect(velka::logger::source* plogsrc, bool bconcurrent);
void platform_table(FILE* out, const platformfacts& f);
// The "platform" object of the JSON (no trailing newline).
std::string platform_json(const platformfacts& f);

#endif
