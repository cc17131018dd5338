// Read-only queries: pick a gateway out of a gateway record, list gateway
// records, and map gateway names to their subnets.
#include "rest.hpp"

namespace morvent::spoke {

using namespace nb::literals;
using native::param;
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

nb::object make_getSpokeInfo(const ModuleScope& scope) {
    return native::def(
        scope, "getSpokeInfo",
        [](nb::handle info, nb::handle subnet_cidr) -> nb::object {
            if (equals(item(info, "public_subnet"), subnet_cidr)) return spoke_info_of(info);
            nb::handle ha_key = native::name("hagw_details_list");
            if (PySequence_Contains(info.ptr(), ha_key.ptr()) != 1) {
                if (PyErr_Occurred()) throw nb::python_error();
                return not_found();
            }
            nb::object ha_list = item(info, ha_key);
            nb::handle key = native::name("public_subnet");
            if (PyList_CheckExact(ha_list.ptr()) && PyUnicode_CheckExact(subnet_cidr.ptr())) {
                // The walk of an exact list of exact dicts whose subnets are
                // exact strs runs no Python code, so the entries are borrowed;
                // any other entry takes the general step, which may run some
                // (and so change the list: its length is read at each step).
                native::DictHint hint;
                PyObject* list = ha_list.ptr();
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                    nb::handle gw = PyList_GET_ITEM(list, i);
                    PyObject* subnet = hint.find(gw.ptr(), key.ptr());
                    if (subnet && PyUnicode_CheckExact(subnet)) {
                        if (native::str_equal(subnet, subnet_cidr.ptr()))
                            return spoke_info_of(nb::borrow(gw));
                        continue;
                    }
                    nb::object held = nb::borrow(gw);
                    if (equals(item(held, key), subnet_cidr)) return spoke_info_of(held);
                }
                return not_found();
            }
            for (nb::handle gw : native::iterate(ha_list)) {
                if (equals(item(gw, key), subnet_cidr)) return spoke_info_of(gw);
            }
            return not_found();
        },
        param("info"), param("subnet_cidr"));
}

nb::object make_list_gateway_info(const ModuleScope& scope) {
    return native::def(
        scope, "list_gateway_info",
        [scope](nb::handle api_endpoint_url, nb::handle CID, nb::handle vpc_access_account_name,
                nb::handle acx_gw_only, nb::handle gw_name, nb::handle keyword_for_log) {
            nb::dict data = payload({{"action", native::name("list_vpcs_summary")},
                                     {"CID", CID},
                                     {"account_name", vpc_access_account_name},
                                     {"acx_gw_only", acx_gw_only},
                                     {"gateway_name", gw_name}});
            return native::call(scope.global("_send_corvane_api"), {},
                                {{"api_endpoint_url", api_endpoint_url},
                                 {"request_method", native::name("GET")},
                                 {"payload", data},
                                 {"keyword_for_log", keyword_for_log},
                                 {"indent", native::name("    ")}});
        },
        param("api_endpoint_url") = "", param("CID") = "", param("vpc_access_account_name") = "",
        param("acx_gw_only") = "no", param("gw_name") = nb::none(),
        param("keyword_for_log") = "cvn-migration-function---");
}

nb::object make_getSubnetWithSpokeGw(const ModuleScope& scope) {
    return native::def(
        scope, "getSubnetWithSpokeGw",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle gw_names) {
            nb::object logger = scope.logger();
            nb::list result;
            for (nb::handle name : native::iterate(gw_names)) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", native::name("get_gateway_info")},
                                         {"gateway_name", name}});
                nb::object response = rest::json(rest::get_form(scope, controller_api_url, data));
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
        param("CID"), param("controller_api_url"), param("gw_names"));
}

}  // namespace morvent::spoke
