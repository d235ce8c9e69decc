// An embedding program: links the installed library and uses one helper of it.
#include <cstdio>
#include <string>

#include <velka/scoped_array>
#include <velka/utilities>

int main() {
    velka::scoped_array::scoped_array<char> buf(16);
    std::string s = velka::utilities::utilities::trim("  velka  ");
    std::printf("%s %u\n", s.c_str(), buf.max_limit());
    return s == "velka" ? 0 : 1;
}
