// Placeholder: the events work replaces this file.
#include "plugin/connection_list.h"

namespace quorvex {

ConnectionList::~ConnectionList() { Clear(); }
DWORD ConnectionList::Add(IUnknown*) noexcept { return 0; }
IUnknown* ConnectionList::Remove(DWORD) noexcept { return nullptr; }
IUnknown* ConnectionList::at(std::size_t) const noexcept { return nullptr; }
void ConnectionList::Clear() noexcept {}

}  // namespace quorvex
