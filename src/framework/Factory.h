// The factory table: the 23 component names in lookup order.
#pragma once

#include <zelmar/zelmar.h>

#include <cstddef>
#include <vector>

namespace zelmar {

struct FactoryEntry {
    const char* name;
    IAudioIO* (*create)();  // null while the component is not part of this build
    // The names of the component's property table in lookup order; null with `create`.
    std::vector<const char*> (*propertyNames)();
};

// The whole table, in lookup order; `count` receives its length.
const FactoryEntry* FactoryTable(std::size_t* count);

}  // namespace zelmar
