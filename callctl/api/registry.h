// Handle registry of the C interface: which instance owns a handle.
#pragma once

#include <memory>

#include "../engine/instance.h"

namespace callctl::api {

std::shared_ptr<Instance> instance(SIPX_INST h);
// The instance that owns a line, call or conference handle.
std::shared_ptr<Instance> owner(uint32_t h);
void add_instance(const std::shared_ptr<Instance> &inst);
std::shared_ptr<Instance> remove_instance(SIPX_INST h);
void own(uint32_t h, SIPX_INST inst);
void disown(uint32_t h);

}  // namespace callctl::api
