// The whole inventory of velka-inventory: every section collected, one after another or all at
// once, and the result as a table, as JSON and in Prometheus' text exposition format.
#ifndef VELKA_TOOLS_INVENTORY_H
#define VELKA_TOOLS_INVENTORY_H

#include <cstdio>
#include <string>

#include <velka/logger>

#include "inventory_boot.h"
#include "inventory_disks.h"
#include "inventory_lvm.h"
#include "inventory_pci.h"
#include "inventory_platform.h"

struct inventoryfacts {
    platformfacts platform;
    pcisection pci;
    diskssection disks;
    lvmreport lvm;
    bootfacts boot;
    double dfinished = 0;  // seconds since the epoch when the last section ended
};

// Every section. bconcurrent: the sections run at the same time, each with its own objects
// (plogsrc is shared: the logging core is thread-safe), and inside the sections the queries
// that do not depend on each other (link speeds, SMART per disk, vgs, lvs and pvs) run at the
// same time too; otherwise everything runs one after another. Standard error points at
// /dev/null meanwhile: the tools' complaints never reach the terminal.
inventoryfacts inventory_collect(velka::logger::source* plogsrc, bool bconcurrent);
void inventory_table(FILE* out, const inventoryfacts& inv);
std::string inventory_json(const inventoryfacts& inv);
std::string inventory_prometheus(const inventoryfacts& inv);
// -1 with serror set when sfile exists and is not a regular file (a device node, a FIFO, a
// directory, a symbolic link), which the metrics must never replace; else 0.
int inventory_checkfile(const std::string& sfile, std::string& serror);
// Writes the text to sfile atomically: a temporary file in the same directory, synced, then
// renamed over sfile, and the directory synced, so a reader sees the old file or the new one
// whole, also after a crash. Refuses an sfile that inventory_checkfile refuses, before and
// just before the rename. Temporary files of killed runs (its own name pattern, more than an
// hour old) are removed first. 0, or -1 with serror set (the step that failed and the
// system's error text).
int inventory_writefile(const std::string& sfile, const std::string& stext, std::string& serror);

#endif
