// Spoke gateway deletion.
#include "outcome.hpp"

namespace morvent::spoke {

using native::param;

using namespace nb::literals;
using native::is_true;
using native::item;
using native::log_info;
using native::not_equals;
using native::payload;

namespace {

// Posts one request and logs the decoded answer (decoded afresh) when the
// failure handler reports success.  A handler that reports a failure and
// returns stops nothing: the caller goes on.
void post_and_report(const ModuleScope& scope, nb::handle logger, nb::handle url,
                     nb::handle data) {
    nb::object response = rest::post(scope, url, data);
    nb::object r = rest::json(response);
    if (rest::handled_ok(scope, r)) log_info(logger, {"  ", rest::json(response)});
}

}  // namespace

nb::object make_deleteSpoke(const ModuleScope& scope) {
    return native::def(
        scope, "deleteSpoke",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name) {
            nb::object logger = scope.logger();
            log_info(logger, {"- Disable HA on spoke gateway ", spoke_gw_name});
            if (rest::live_run(scope)) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", native::name("disable_spoke_ha")},
                                         {"gw_name", spoke_gw_name}});
                post_and_report(scope, logger, controller_api_url, data);
            }
            // The gateway is deleted even when switching HA off was reported
            // as failed: HA may simply not have been on.
            log_info(logger, {"- Delete existing spoke gateway ", spoke_gw_name});
            if (rest::live_run(scope)) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", native::name("delete_container")},
                                         {"cloud_type", nb::int_(1)},
                                         {"gw_name", spoke_gw_name}});
                // The deletion itself is what the undo needs: it must have
                // happened, or raise.
                outcome::delete_gateway(scope, logger, CID, controller_api_url, data,
                                        spoke_gw_name, outcome::Kind::classic);
            }
            return nb::none();
        },
        param("CID"), param("controller_api_url"), param("spoke_gw_name"));
}

nb::object make_deleteHsSpoke(const ModuleScope& scope) {
    return native::def(
        scope, "deleteHsSpoke",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name) {
            nb::object logger = scope.logger();
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("delete_multicloud_gateway")},
                                     {"gw_name", spoke_gw_name}});
            // Silent in a dry run: the callers announce the deletion.
            if (rest::dry_run(scope)) return nb::none();
            outcome::delete_gateway(scope, logger, CID, controller_api_url, data, spoke_gw_name);
            return nb::none();
        },
        param("CID"), param("controller_api_url"), param("spoke_gw_name"));
}

nb::object make_deleteAllHsSpokes(const ModuleScope& scope) {
    return native::def(
        scope, "deleteAllHsSpokes",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name) {
            nb::object logger = scope.logger();
            log_info(logger, {"- Delete HS spoke"});
            // The listing is read-only and goes out in a dry run too; the
            // deletions below honour the flag inside deleteHsSpoke.
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("list_primary_and_ha_spoke_gateways")}});
            nb::object r = rest::json(rest::post(scope, controller_api_url, data));
            native::call(scope.global("handleControllerApiFailureAndExit"), {r});
            nb::list gw_names;
            for (nb::handle gw : native::iterate(item(r, "results"))) gw_names.append(item(gw, "name"));
            log_info(logger, {"  found spoke gateways: ", gw_names});
            log_info(logger, {"  deleting HA on spoke gateway ", spoke_gw_name});

            // An HA gateway is known by its name: the primary's name plus a
            // suffix.  All of them go before the primary.
            bool found = false;
            for (nb::handle x : native::iterate(gw_names)) {
                if (not_equals(x, spoke_gw_name) && native::startswith(x, spoke_gw_name)) {
                    native::call(scope.global("deleteHsSpoke"), {CID, controller_api_url, x});
                    found = true;
                }
            }
            if (!found) log_info(logger, {"  no HA spoke gateway found"});
            log_info(logger, {"  delete primary spoke gateway ", spoke_gw_name});
            native::call(scope.global("deleteHsSpoke"), {CID, controller_api_url, spoke_gw_name});
            return nb::none();
        },
        param("CID"), param("controller_api_url"), param("spoke_gw_name"));
}

}  // namespace morvent::spoke
