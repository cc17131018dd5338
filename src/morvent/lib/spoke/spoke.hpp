// morvent.lib.spoke: spoke gateway operations over the controller's REST
// API, and the undoable commands built on them.
//
// Each source file makes the objects of one area; module.cpp binds them in
// the order the module defines them.  Every function looks its collaborators
// (requests, Globals, the failure handlers, its sibling functions) up in the
// module's globals when it runs.
#pragma once

#include "pyglue.hpp"

namespace morvent::spoke {

namespace nb = nanobind;
using native::ModuleScope;

// queries.cpp
nb::object make_getSpokeInfo(const ModuleScope& scope);
nb::object make_list_gateway_info(const ModuleScope& scope);
nb::object make_getSubnetWithSpokeGw(const ModuleScope& scope);

// deploy.cpp
nb::object make_deployClassicSpoke(const ModuleScope& scope);
nb::object make_deployPrimaryHsSpoke(const ModuleScope& scope);
nb::object make_deployHaHsSpoke(const ModuleScope& scope);
nb::object make_deployHsSpoke(const ModuleScope& scope);

// delete.cpp
nb::object make_deleteSpoke(const ModuleScope& scope);
nb::object make_deleteHsSpoke(const ModuleScope& scope);
nb::object make_deleteAllHsSpokes(const ModuleScope& scope);

// snat_size.cpp
nb::object make_changeSpokeSize(const ModuleScope& scope);
nb::object make_enableSNAT(const ModuleScope& scope);
nb::object make_disable_snat(const ModuleScope& scope);

// commands.cpp: the classes, each built as a genuine Python class.
void bind_commands(const ModuleScope& scope);

}  // namespace morvent::spoke
