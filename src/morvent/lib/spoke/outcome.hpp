// What a controller step does when its answer does not settle its outcome.
//
// A request that timed out or lost its connection, a body that is not JSON
// or an answer of another shape tells nothing about what the controller
// did.  Such a step is neither assumed done nor assumed not done: the
// functions here ask the controller afterwards (is the gateway still
// listed? what does its record say?) and the step goes by what that
// look-up finds.  A look-up that is refused or unusable proves nothing
// either; the callers then take the safe side and raise.
#pragma once

#include <optional>

#include "rest.hpp"

namespace morvent::spoke::outcome {

// Why the error `e` left a step's outcome unknown, or nothing when it is
// any other error (the caller re-raises it).  The errors that mean "no
// usable answer": requests' own (requests.RequestException, looked up
// through the module's `requests`), ValueError (a body that is not JSON),
// and KeyError, IndexError, TypeError (an answer or record of another
// shape).  A request error is named by its class only: its text may carry
// the request's URL, with the session id in the query string.
std::optional<nb::str> no_answer(const ModuleScope& scope, const nb::python_error& e);

// What a refused answer says: its "reason", else its "results", else the
// whole answer.
nb::object reason_of(nb::handle answer);

// "  Returned: " + answer["return"] + "  Result: " + answer["results"]; an
// answer without "results" (a controller failure that only gives a
// "reason") shows "  Reason: " + answer.get("reason") instead.
void log_returned(nb::handle logger, nb::handle answer);

// The kind of a gateway, which decides the listing that shows it.
enum class Kind {
    hs,       // "list_primary_and_ha_spoke_gateways"
    classic,  // list_gateway_info ("list_vpcs_summary"): not every controller
              // lists classic gateways among the HS ones
};

// Whether the gateway `name` is gone: a successful listing of its kind that
// does not name it (for a classic gateway, neither as a gateway record nor
// in one's HA list).  A listing that is refused or unusable is logged and
// counts as "still there".
bool gateway_gone(const ModuleScope& scope, nb::handle logger, nb::handle CID, nb::handle url,
                  nb::handle name, Kind kind = Kind::hs);

// results[key] of a successful "get_gateway_info" answer for `name`, or
// nothing when the look-up is refused or unusable (logged).
std::optional<nb::object> gateway_detail(const ModuleScope& scope, nb::handle logger,
                                         nb::handle CID, nb::handle url, nb::handle name,
                                         const char* key);

// Posts `data`, an action on the gateway `name`, and hands the answer to the
// failure handler.  Nothing when the handler accepts it (the answer is then
// logged, decoded afresh, after two blanks, as the functions always did);
// otherwise why the action is not known to be done: the refusal's reason,
// or what left the answer missing or unusable (logged as an error).
std::optional<nb::object> post_unless_accepted(const ModuleScope& scope, nb::handle logger,
                                               nb::handle url, nb::handle data, nb::handle name);

// Posts the deletion `data` of the gateway `name` and makes sure of its
// outcome.  An answer the failure handler accepts is logged as before; after
// a refused, lost or unusable answer a gateway that is gone counts as
// deleted (idempotent undo), and one that may still be there raises
// CorvaneRollbackException naming it and the reason, so that its undo
// record is kept for another attempt.
void delete_gateway(const ModuleScope& scope, nb::handle logger, nb::handle CID, nb::handle url,
                    nb::handle data, nb::handle name, Kind kind = Kind::hs);

// raise CorvaneRollbackException(message), the class looked up now.
[[noreturn]] void raise_rollback(const ModuleScope& scope, nb::handle message);

}  // namespace morvent::spoke::outcome
