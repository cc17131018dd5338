// Which NAT gateway serves a subnet now, and the refresh of the discovered
// NAT gateway records.
#include "brindlemark.hpp"

namespace morvent::brindlemark {

using namespace nb::literals;
using native::param;
using native::item;
using native::length;
using native::set_item;

namespace {

// description["NatGatewayAddresses"][0]
nb::object first_address(nb::handle description) {
    return item(item(description, "NatGatewayAddresses"), Py_ssize_t{0});
}

}  // namespace

nb::object make_get_natgw_id_by_subnet(const ModuleScope& scope, nb::handle manager) {
    return nb::cpp_function(
        [scope](nb::handle /*cls*/, nb::handle ec2_client, nb::handle subnet_id,
                nb::handle vpc_id) -> nb::object {
            nb::object logger = scope.logger();
            nb::object natgw = native::call(scope.global("get_natgw_by_subnet"),
                                             {ec2_client, subnet_id, vpc_id});
            if (length(natgw) < 1) {
                native::log_info(logger, {"  No Natgw found in ", vpc_id, "::", subnet_id});
                return nb::none();
            }
            return item(natgw, Py_ssize_t{0});
        },
        nb::scope(manager), nb::name("get_natgw_id_by_subnet"), param("cls"), param("ec2_client"),
        param("subnet_id"), param("vpc_id"));
}

nb::object make_get_natgw_infos(const ModuleScope& scope, nb::handle manager) {
    return nb::cpp_function(
        [scope](nb::handle cls, nb::handle ec2_client, nb::handle ca) {
            nb::object infos =
                native::call_method(scope.global("CommandHistory"), "get_discovered_natgws");
            for (nb::handle x : native::iterate(infos)) {
                nb::object subnet_id = item(x, "subnet_id");
                nb::object vpc_id = native::attr(ca, "vpc_id");
                nb::object latest = native::call_method(cls, "get_natgw_id_by_subnet",
                                                        {ec2_client, subnet_id, vpc_id});
                if (latest.is_none()) continue;
                set_item(x, "nat_gw_id", item(latest, "NatGatewayId"));
                set_item(x, "private_ip", item(first_address(latest), "PrivateIp"));
                set_item(x, "eip", item(first_address(latest), "PublicIp"));
            }
            return infos;
        },
        nb::scope(manager), nb::name("get_natgw_infos"), param("cls"), param("ec2_client"), param("ca"));
}

}  // namespace morvent::brindlemark
