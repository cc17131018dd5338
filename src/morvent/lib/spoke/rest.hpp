// The recurring moves of the spoke functions: the controller requests sent
// with `requests`, the dry-run flag in its two forms, and the answer's
// "  Returned: ... Result: ..." line.  Every name is looked up in the module
// globals at the moment of the call, like the interpreted code would.
#pragma once

#include "spoke.hpp"

namespace morvent::spoke::rest {

using namespace nb::literals;

// requests.post(url, data=data, verify=False)
inline nb::object post(const ModuleScope& scope, nb::handle url, nb::handle data) {
    return native::call_method(scope.global("requests"), "post", {url},
                               {{"data", data}, {"verify", Py_False}});
}

// requests.get(url, data=data, verify=False): the payload as form body.
inline nb::object get_form(const ModuleScope& scope, nb::handle url, nb::handle data) {
    return native::call_method(scope.global("requests"), "get", {url},
                               {{"data", data}, {"verify", Py_False}});
}

// requests.get(url, params=params, verify=False): the payload as query string.
inline nb::object get_query(const ModuleScope& scope, nb::handle url, nb::handle params) {
    return native::call_method(scope.global("requests"), "get", {url},
                               {{"params", params}, {"verify", Py_False}});
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
