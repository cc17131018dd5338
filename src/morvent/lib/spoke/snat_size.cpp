// Single-IP SNAT and gateway size.
#include "outcome.hpp"

namespace morvent::spoke {

using native::param;

using namespace nb::literals;
using native::equals;
using native::equals_false;
using native::equals_true;
using native::item;
using native::log_info;
using native::payload;

nb::object make_changeSpokeSize(const ModuleScope& scope) {
    return native::def(
        scope, "changeSpokeSize",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name,
                nb::handle spoke_gw_size) -> nb::object {
            nb::object logger = scope.logger();
            log_info(logger, {"- Set spoke gateway ", spoke_gw_name, " to ", spoke_gw_size});
            // The current size is read also in a dry run; nothing is changed then.
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("get_gateway_info")},
                                     {"gateway_name", spoke_gw_name}});
            // A size that cannot be read stops the resize with an error: the
            // step must not be recorded as done when nothing was changed.
            nb::object current;
            nb::object why;
            try {
                nb::object response = rest::get_query(scope, controller_api_url, data);
                if (rest::dry_run(scope)) return nb::none();
                nb::object r = rest::json(response);
                if (equals_false(native::call(scope.global("handleControllerApiFailure"), {r}))) {
                    why = outcome::reason_of(r);
                } else {
                    current = item(item(r, "results"), "vpc_size");
                }
            } catch (nb::python_error& e) {
                std::optional<nb::str> no = outcome::no_answer(scope, e);
                if (!no) throw;
                why = *no;
                native::log_error(logger, {"  **Error** no usable answer to get_gateway_info for "
                                           "spoke gateway ", spoke_gw_name, ": ", why});
            }
            if (!current.is_valid()) {
                outcome::raise_rollback(
                    scope, native::text({"Spoke gateway ", spoke_gw_name, " was not resized to ",
                                         spoke_gw_size, ": its size could not be read: ", why}));
            }
            if (equals(current, spoke_gw_size)) {
                log_info(logger, {"  no need to resize,  ", spoke_gw_name,
                                  " instance size is already set to ", spoke_gw_size});
                return nb::none();
            }

            data = payload({{"CID", CID},
                            {"action", native::name("change_gateway_size")},
                            {"gw_name", spoke_gw_name},
                            {"gw_size", spoke_gw_size}});
            bool done = false;
            try {
                nb::object response = rest::post(scope, controller_api_url, data);
                nb::object r = rest::json(response);
                done = equals_true(native::call(scope.global("handleControllerApiFailure"), {r}));
                outcome::log_returned(logger, rest::json(response));
                if (!done) why = outcome::reason_of(r);
            } catch (nb::python_error& e) {
                std::optional<nb::str> no = outcome::no_answer(scope, e);
                if (!no) throw;
                done = false;
                why = *no;
                native::log_error(logger, {"  **Error** no usable answer to change_gateway_size "
                                           "for spoke gateway ", spoke_gw_name, ": ", why});
            }
            if (done) return nb::none();
            // Refused, lost or unusable: the gateway's size now says whether
            // the change happened after all.
            std::optional<nb::object> size = outcome::gateway_detail(
                scope, logger, CID, controller_api_url, spoke_gw_name, "vpc_size");
            if (size && equals(*size, spoke_gw_size)) {
                log_info(logger, {"  spoke gateway ", spoke_gw_name, " is of size ", spoke_gw_size,
                                  " now"});
                return nb::none();
            }
            outcome::raise_rollback(scope, native::text({"Spoke gateway ", spoke_gw_name,
                                                         " was not resized to ", spoke_gw_size,
                                                         ": ", why}));
        },
        param("CID"), param("controller_api_url"), param("spoke_gw_name"), param("spoke_gw_size"));
}

nb::object make_enableSNAT(const ModuleScope& scope) {
    return native::def(
        scope, "enableSNAT",
        [scope](nb::handle spoke_gw_name, nb::handle controller_api_url, nb::handle CID) {
            nb::object logger = scope.logger();
            log_info(logger, {"- Enable Single IP SNAT on spoke gateway ", spoke_gw_name});
            if (rest::live_run(scope)) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", native::name("enable_snat")},
                                         {"gateway_name", spoke_gw_name}});
                // A refused switch must not count as done: the next step
                // deletes a NAT gateway whose routes SNAT was to take over.
                // Neither may a switch whose answer is lost or unusable.
                bool accepted = false;
                std::optional<nb::str> why;
                try {
                    nb::object response = rest::post(scope, controller_api_url, data);
                    nb::object r = rest::json(response);
                    nb::object handled =
                        native::call(scope.global("handleControllerApiFailure"), {r});
                    accepted = !equals_false(handled);
                    if (accepted) outcome::log_returned(logger, rest::json(response));
                } catch (nb::python_error& e) {
                    why = outcome::no_answer(scope, e);
                    if (!why) throw;
                    native::log_error(logger, {"  **Error** no usable answer to enable_snat for "
                                               "spoke gateway ", spoke_gw_name, ": ", *why});
                    accepted = false;
                }
                if (why) {
                    outcome::raise_rollback(
                        scope, native::text({"Single IP SNAT was not enabled on spoke gateway ",
                                             spoke_gw_name, ": ", *why}));
                }
                if (!accepted) {
                    outcome::raise_rollback(scope, native::text({"Single IP SNAT was not enabled "
                                                                 "on spoke gateway ",
                                                                 spoke_gw_name}));
                }
            }
            return nb::none();
        },
        param("spoke_gw_name"), param("controller_api_url"), param("CID"));
}

nb::object make_disable_snat(const ModuleScope& scope) {
    return native::def(
        scope, "disable_snat",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name) {
            nb::object logger = scope.logger();
            log_info(logger, {"- Disable SNAT on spoke gateway ", spoke_gw_name});
            if (rest::dry_run(scope)) return nb::none();
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("disable_snat")},
                                     {"gateway_name", spoke_gw_name}});
            std::optional<nb::object> reason = outcome::post_unless_accepted(
                scope, logger, controller_api_url, data, spoke_gw_name);
            if (!reason) return nb::none();
            // Not switched off as far as the answer tells: SNAT is off all
            // the same on a gateway that is gone, or whose record says so.
            if (outcome::gateway_gone(scope, logger, CID, controller_api_url, spoke_gw_name)) {
                log_info(logger, {"  spoke gateway ", spoke_gw_name, " is gone: its SNAT with it"});
                return nb::none();
            }
            std::optional<nb::object> snat = outcome::gateway_detail(
                scope, logger, CID, controller_api_url, spoke_gw_name, "snat");
            if (snat && equals_false(*snat)) {
                log_info(logger, {"  SNAT is off on spoke gateway ", spoke_gw_name});
                return nb::none();
            }
            outcome::raise_rollback(scope, native::text({"SNAT was not disabled on spoke gateway ",
                                                         spoke_gw_name, ": ", *reason}));
        },
        param("CID"), param("controller_api_url"), param("spoke_gw_name"));
}

}  // namespace morvent::spoke
