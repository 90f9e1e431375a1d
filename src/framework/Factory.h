// The factory table: the 23 component names in lookup order.
#pragma once

#include <zelmar/zelmar.h>

#include <cstddef>

namespace zelmar {

struct FactoryEntry {
    const char* name;
    IAudioIO* (*create)();  // null while the component is not part of this build
};

// The whole table, in lookup order; `count` receives its length.
const FactoryEntry* FactoryTable(std::size_t* count);

}  // namespace zelmar
