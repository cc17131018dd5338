// Read-only queries: pick a gateway out of a gateway record, list gateway
// records, and map gateway names to their subnets.
#include "spoke.hpp"

namespace morvent::spoke {

using namespace nb::literals;
using native::equals;
using native::equals_false;
using native::item;
using native::payload;

namespace {

// The spoke info of one gateway record: five keys, in this order.
nb::dict spoke_info_of(nb::handle gw) {
    return payload({{"gw_private_ip", item(gw, "private_ip")},
                    {"gw_name", item(gw, "gw_name")},
                    {"gw_public_ip", item(gw, "public_ip")},
                    {"gw_subnet_id", item(gw, "gw_subnet_id")},
                    {"gw_subnet_cidr", item(gw, "public_subnet")}});
}

nb::dict not_found() { return payload({{"gw_name", Py_None}}); }

}  // namespace

// Every argument of the module's functions is declared .none(): nanobind
// refuses None for an argument otherwise, where a Python def takes None like
// any other value (a size of None, a gateway name of None, ...).
nb::object make_getSpokeInfo(const ModuleScope& scope) {
    return nb::cpp_function(
        [](nb::handle info, nb::handle subnet_cidr) -> nb::object {
            if (equals(item(info, "public_subnet"), subnet_cidr)) return spoke_info_of(info);
            nb::str ha_key("hagw_details_list");
            if (PySequence_Contains(info.ptr(), ha_key.ptr()) != 1) {
                if (PyErr_Occurred()) throw nb::python_error();
                return not_found();
            }
            nb::object ha_list = item(info, ha_key);
            for (nb::handle gw : ha_list) {
                if (equals(item(gw, "public_subnet"), subnet_cidr)) return spoke_info_of(gw);
            }
            return not_found();
        },
        nb::scope(scope.module()), nb::name("getSpokeInfo"), "info"_a.none(),
        "subnet_cidr"_a.none());
}

nb::object make_list_gateway_info(const ModuleScope& scope) {
    return nb::cpp_function(
        [scope](nb::handle api_endpoint_url, nb::handle CID, nb::handle vpc_access_account_name,
                nb::handle acx_gw_only, nb::handle gw_name, nb::handle keyword_for_log) {
            nb::dict data = payload({{"action", nb::str("list_vpcs_summary")},
                                     {"CID", CID},
                                     {"account_name", vpc_access_account_name},
                                     {"acx_gw_only", acx_gw_only},
                                     {"gateway_name", gw_name}});
            return scope.global("_send_corvane_api")(
                "api_endpoint_url"_a = api_endpoint_url, "request_method"_a = "GET",
                "payload"_a = data, "keyword_for_log"_a = keyword_for_log, "indent"_a = "    ");
        },
        nb::scope(scope.module()), nb::name("list_gateway_info"), "api_endpoint_url"_a.none() = "",
        "CID"_a.none() = "", "vpc_access_account_name"_a.none() = "",
        "acx_gw_only"_a.none() = "no", "gw_name"_a.none() = nb::none(),
        "keyword_for_log"_a.none() = "cvn-migration-function---");
}

nb::object make_getSubnetWithSpokeGw(const ModuleScope& scope) {
    return nb::cpp_function(
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle gw_names) {
            nb::object logger = scope.logger();
            nb::list result;
            for (nb::handle name : gw_names) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", nb::str("get_gateway_info")},
                                         {"gateway_name", name}});
                nb::object response = scope.global("requests")
                                          .attr("get")(controller_api_url, "data"_a = data,
                                                       "verify"_a = false)
                                          .attr("json")();
                if (equals_false(item(response, "return"))) {
                    native::log_error(logger, {response});
                    continue;
                }
                nb::object results = item(response, "results");
                result.append(payload({{"gw_name", item(results, "gw_name")},
                                       {"cidr", item(results, "gw_subnet_cidr")}}));
            }
            return result;
        },
        nb::scope(scope.module()), nb::name("getSubnetWithSpokeGw"), "CID"_a.none(),
        "controller_api_url"_a.none(), "gw_names"_a.none());
}

}  // namespace morvent::spoke
