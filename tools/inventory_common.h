// Helpers shared by the sections of velka-inventory: whether a tool is installed, and values
// written safely into JSON and into the table.
#ifndef VELKA_TOOLS_INVENTORY_COMMON_H
#define VELKA_TOOLS_INVENTORY_COMMON_H

#include <string>

namespace invtools {

// Whether a program of that name is on PATH (or, without PATH, in /usr/bin or /bin). The
// sections ask first, so that a missing tool is named once in the inventory's own words and no
// shell error reaches the terminal.
bool havetool(const std::string& sname);
// A JSON string: quotes and backslashes escaped, control bytes and bytes from 0x7f as \uXXXX,
// so that any byte string gives valid JSON.
std::string jsonstring(const std::string& s);
// Control bytes, bytes from 0x7f and backslashes as octal escapes, so every value stays on its
// line of the table.
std::string printable(const std::string& s);

}  // namespace invtools

#endif
