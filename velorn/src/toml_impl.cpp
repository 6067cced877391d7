// The TOML reader's compiled part; every other unit sees its declarations only.
#define TOML_IMPLEMENTATION
#include <toml++/toml.h>
