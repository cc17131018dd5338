// Single-IP SNAT and gateway size.
#include "rest.hpp"

namespace morvent::spoke {

using native::param;

using namespace nb::literals;
using native::equals;
using native::equals_false;
using native::item;
using native::log_info;
using native::payload;

namespace {

// "  Returned: " + response.json()["return"] + "  Result: " +
// response.json()["results"], the answer decoded afresh for each value.
void log_returned_afresh(nb::handle logger, nb::handle response) {
    log_info(logger, {"  Returned: ", item(rest::json(response), "return"), "  Result: ",
                      item(rest::json(response), "results")});
}

}  // namespace

nb::object make_changeSpokeSize(const ModuleScope& scope) {
    return nb::cpp_function(
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name,
                nb::handle spoke_gw_size) -> nb::object {
            nb::object logger = scope.logger();
            log_info(logger, {"- Set spoke gateway ", spoke_gw_name, " to ", spoke_gw_size});
            // The current size is read also in a dry run; nothing is changed then.
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("get_gateway_info")},
                                     {"gateway_name", spoke_gw_name}});
            nb::object response = rest::get_query(scope, controller_api_url, data);
            if (rest::dry_run(scope)) return nb::none();

            nb::object r = rest::json(response);
            if (equals_false(scope.global("handleControllerApiFailure")(r))) return nb::none();
            if (equals(item(item(r, "results"), "vpc_size"), spoke_gw_size)) {
                log_info(logger, {"  no need to resize,  ", spoke_gw_name,
                                  " instance size is already set to ", spoke_gw_size});
                return nb::none();
            }

            data = payload({{"CID", CID},
                            {"action", native::name("change_gateway_size")},
                            {"gw_name", spoke_gw_name},
                            {"gw_size", spoke_gw_size}});
            response = rest::post(scope, controller_api_url, data);
            r = rest::json(response);
            scope.global("handleControllerApiFailure")(r);
            log_returned_afresh(logger, response);
            return nb::none();
        },
        nb::scope(scope.module()), nb::name("changeSpokeSize"), param("CID"),
        param("controller_api_url"), param("spoke_gw_name"), param("spoke_gw_size"));
}

nb::object make_enableSNAT(const ModuleScope& scope) {
    return nb::cpp_function(
        [scope](nb::handle spoke_gw_name, nb::handle controller_api_url, nb::handle CID) {
            nb::object logger = scope.logger();
            log_info(logger, {"- Enable Single IP SNAT on spoke gateway ", spoke_gw_name});
            if (rest::live_run(scope)) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", native::name("enable_snat")},
                                         {"gateway_name", spoke_gw_name}});
                nb::object response = rest::post(scope, controller_api_url, data);
                nb::object r = rest::json(response);
                // A refused switch must not count as done: the next step
                // deletes a NAT gateway whose routes SNAT was to take over.
                if (equals_false(scope.global("handleControllerApiFailure")(r))) {
                    native::raise_object(scope.global("CorvaneRollbackException")(native::text(
                        {"Single IP SNAT was not enabled on spoke gateway ", spoke_gw_name})));
                }
                log_returned_afresh(logger, response);
            }
            return nb::none();
        },
        nb::scope(scope.module()), nb::name("enableSNAT"), param("spoke_gw_name"),
        param("controller_api_url"), param("CID"));
}

nb::object make_disable_snat(const ModuleScope& scope) {
    return nb::cpp_function(
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name) {
            nb::object logger = scope.logger();
            log_info(logger, {"- Disable SNAT on spoke gateway ", spoke_gw_name});
            if (rest::dry_run(scope)) return nb::none();
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("disable_snat")},
                                     {"gateway_name", spoke_gw_name}});
            nb::object response = rest::post(scope, controller_api_url, data);
            nb::object r = rest::json(response);
            if (rest::handled_ok(scope, r)) log_info(logger, {"  ", rest::json(response)});
            return nb::none();
        },
        nb::scope(scope.module()), nb::name("disable_snat"), param("CID"),
        param("controller_api_url"), param("spoke_gw_name"));
}

}  // namespace morvent::spoke
