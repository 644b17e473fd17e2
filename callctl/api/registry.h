// Handle registry of the C interface: which instance owns a handle.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "../engine/instance.h"

namespace callctl::api {

std::shared_ptr<Instance> instance(SIPX_INST h);
// The instance that owns a line, call or conference handle.
std::shared_ptr<Instance> owner(uint32_t h);
void add_instance(const std::shared_ptr<Instance> &inst);
std::shared_ptr<Instance> remove_instance(SIPX_INST h);
void own(uint32_t h, SIPX_INST inst);
void disown(uint32_t h);

// Looks a host name up on the calling thread, before the instance lock is
// taken; 0 when it does not resolve. Blocks only for a name never answered
// before (see registry.cpp); on the library thread: the cache only.
uint32_t lookup_unlocked(Instance &inst, const std::string &host);

// For tests: called by every handle lookup above, so that what it throws
// comes out of the API call that made the lookup. Empty: none.
void set_lookup_fault(std::function<void()> fault);

}  // namespace callctl::api
