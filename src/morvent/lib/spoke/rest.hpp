// The recurring moves of the spoke functions: the controller requests sent
// with `requests`, the dry-run flag in its two forms, and the answer's
// "  Returned: ... Result: ..." line.  Every name is looked up in the module
// globals at the moment of the call, like the interpreted code would.  What
// a step does when its answer is missing or unusable is in outcome.hpp.
#pragma once

#include "spoke.hpp"

namespace morvent::spoke::rest {

using namespace nb::literals;

// requests.<method>(url, <keyword>=payload, verify=Globals.controller_verify,
// timeout=Globals.controller_timeout), evaluated in that order: both
// settings are read at the moment of each request, so an operator's CA
// bundle or longer timeout applies to every request that follows.
inline nb::object send(const ModuleScope& scope, const char* method, nb::handle url,
                       const char* keyword, nb::handle payload) {
    nb::object function = native::attr(scope.global("requests"), method);
    nb::object verify = native::attr(scope.global("Globals"), "controller_verify");
    nb::object timeout = native::attr(scope.global("Globals"), "controller_timeout");
    return native::call(function, {url},
                        {{keyword, payload}, {"verify", verify}, {"timeout", timeout}});
}

// requests.post(url, data=data, verify=..., timeout=...)
inline nb::object post(const ModuleScope& scope, nb::handle url, nb::handle data) {
    return send(scope, "post", url, "data", data);
}

// requests.get(url, data=data, verify=..., timeout=...): the payload as form body.
inline nb::object get_form(const ModuleScope& scope, nb::handle url, nb::handle data) {
    return send(scope, "get", url, "data", data);
}

// requests.get(url, params=params, verify=..., timeout=...): the payload as
// query string.
inline nb::object get_query(const ModuleScope& scope, nb::handle url, nb::handle params) {
    return send(scope, "get", url, "params", params);
}

// response.json()
inline nb::object json(nb::handle response) { return native::call_method(response, "json"); }

// Globals.dry_run == False: state-changing requests go out only then, so a
// flag of None (or any other value that is not equal to False) sends nothing.
inline bool live_run(const ModuleScope& scope) {
    return native::equals_false(native::attr(scope.global("Globals"), "dry_run"));
}

// bool(Globals.dry_run): the functions that test the flag this way return
// early when it is true, and send their request when it is None.
inline bool dry_run(const ModuleScope& scope) {
    return native::is_true(native::attr(scope.global("Globals"), "dry_run"));
}

// handleControllerApiFailure(answer) == True
inline bool handled_ok(const ModuleScope& scope, nb::handle answer) {
    return native::equals_true(native::call(scope.global("handleControllerApiFailure"), {answer}));
}

// "  Returned: " + answer["return"] + "  Result: " + answer["results"]
inline void log_returned(nb::handle logger, nb::handle answer) {
    native::log_info(logger, {"  Returned: ", native::item(answer, "return"), "  Result: ",
                              native::item(answer, "results")});
}

}  // namespace morvent::spoke::rest
