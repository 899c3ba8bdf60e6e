// The floor of an executable map's start in C++: a static program that does nothing, with
// the C++ runtime's start-up (its static initialisers) linked in.
#include <string>

int main(int argc, char**) { return std::string(static_cast<std::size_t>(argc), 'x').size() > 8; }
