// morvent.commands.brindlemark: the resumable, rollback-able replacement of
// a VPC's NAT gateways by HS spoke gateways.
//
// Each source file makes the plain functions behind the class methods of
// Manager; module.cpp wraps them (classmethod, logged) and builds the class.
#pragma once

#include "pyglue.hpp"

namespace morvent::brindlemark {

namespace nb = nanobind;
using native::ModuleScope;

// Each factory makes the plain function, with `manager` as its nb::scope.

// discovery.cpp: (cls, ec2_client, subnet_id, vpc_id), (cls, ec2_client, ca)
nb::object make_get_natgw_id_by_subnet(const ModuleScope& scope, nb::handle manager);
nb::object make_get_natgw_infos(const ModuleScope& scope, nb::handle manager);

// replace.cpp: (cls, config)
nb::object make_execute(const ModuleScope& scope, nb::handle manager);

// revert.cpp: (cls, config)
nb::object make_revert(const ModuleScope& scope, nb::handle manager);
nb::object make_cleanup(const ModuleScope& scope, nb::handle manager);

}  // namespace morvent::brindlemark
