// What a controller step does when its answer does not settle its outcome.
#include "outcome.hpp"

namespace morvent::spoke::outcome {

using native::contains;
using native::equals_true;
using native::item;
using native::log_error;
using native::log_info;
using native::payload;

std::optional<nb::str> no_answer(const ModuleScope& scope, const nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) return std::nullopt;
    nb::handle value = e.value();
    {
        // Looked up while `e` is the exception being handled, as in an
        // except clause: an error of the look-up itself chains to it.
        native::HandlingException handling(value);
        nb::object request_error = native::attr(scope.global("requests"), "RequestException");
        int is_request_error = PyObject_IsInstance(value.ptr(), request_error.ptr());
        if (is_request_error < 0) throw nb::python_error();
        if (is_request_error) return native::class_name(value);
    }
    if (e.matches(PyExc_ValueError) || e.matches(PyExc_KeyError) ||
        e.matches(PyExc_IndexError) || e.matches(PyExc_TypeError)) {
        return native::text({native::class_name(value), ": ", value});
    }
    return std::nullopt;
}

nb::object reason_of(nb::handle answer) {
    if (PyDict_Check(answer.ptr())) {
        for (const char* key : {"reason", "results"}) {
            if (contains(answer, native::name(key))) return item(answer, key);
        }
    }
    return nb::borrow(answer);
}

void log_returned(nb::handle logger, nb::handle answer) {
    if (contains(answer, native::name("results"))) {
        nb::object returned = item(answer, "return");
        nb::object results = item(answer, "results");
        log_info(logger, {"  Returned: ", returned, "  Result: ", results});
    } else {
        nb::object returned = item(answer, "return");
        nb::object reason = native::call_method(answer, "get", {native::name("reason")});
        log_info(logger, {"  Returned: ", returned, "  Reason: ", reason});
    }
}

namespace {

// The names in a successful "list_primary_and_ha_spoke_gateways" answer.
nb::list hs_names(nb::handle r) {
    nb::list names;
    for (nb::handle gw : native::iterate(item(r, "results"))) names.append(item(gw, "name"));
    return names;
}

// The names in a successful "list_vpcs_summary" answer: each gateway record
// and the HA gateways it lists.
nb::list classic_names(nb::handle r) {
    nb::list names;
    for (nb::handle gw : native::iterate(item(r, "results"))) {
        names.append(item(gw, "gw_name"));
        if (contains(gw, native::name("hagw_details_list"))) {
            for (nb::handle ha : native::iterate(item(gw, "hagw_details_list")))
                names.append(item(ha, "gw_name"));
        }
    }
    return names;
}

}  // namespace

bool gateway_gone(const ModuleScope& scope, nb::handle logger, nb::handle CID, nb::handle url,
                  nb::handle name, Kind kind) {
    nb::object why;
    try {
        nb::object r;
        if (kind == Kind::hs) {
            nb::dict data = payload(
                {{"CID", CID}, {"action", native::name("list_primary_and_ha_spoke_gateways")}});
            r = rest::json(rest::post(scope, url, data));
        } else {
            nb::object listing = native::call(scope.global("list_gateway_info"), {},
                                              {{"api_endpoint_url", url}, {"CID", CID}});
            r = rest::json(listing);
        }
        if (equals_true(item(r, "return")))
            return !contains(kind == Kind::hs ? hs_names(r) : classic_names(r), name);
        why = reason_of(r);
    } catch (nb::python_error& e) {
        std::optional<nb::str> no = no_answer(scope, e);
        if (!no) throw;
        why = *no;
    }
    log_error(logger, {"  **Error** could not check whether spoke gateway ", name,
                       " is still there: ", why});
    return false;
}

std::optional<nb::object> gateway_detail(const ModuleScope& scope, nb::handle logger,
                                         nb::handle CID, nb::handle url, nb::handle name,
                                         const char* key) {
    nb::dict data = payload({{"CID", CID},
                             {"action", native::name("get_gateway_info")},
                             {"gateway_name", name}});
    nb::object why;
    try {
        nb::object r = rest::json(rest::get_query(scope, url, data));
        if (equals_true(item(r, "return"))) return item(item(r, "results"), key);
        why = reason_of(r);
    } catch (nb::python_error& e) {
        std::optional<nb::str> no = no_answer(scope, e);
        if (!no) throw;
        why = *no;
    }
    log_error(logger, {"  **Error** could not read ", key, " of spoke gateway ", name, ": ", why});
    return std::nullopt;
}

std::optional<nb::object> post_unless_accepted(const ModuleScope& scope, nb::handle logger,
                                               nb::handle url, nb::handle data, nb::handle name) {
    nb::object response;
    nb::object r;
    try {
        response = rest::post(scope, url, data);
        r = rest::json(response);
    } catch (nb::python_error& e) {
        std::optional<nb::str> why = no_answer(scope, e);
        if (!why) throw;
        log_error(logger, {"  **Error** no usable answer to ", item(data, "action"),
                           " for spoke gateway ", name, ": ", *why});
        return nb::object(*why);
    }
    if (rest::handled_ok(scope, r)) {
        log_info(logger, {"  ", rest::json(response)});
        return std::nullopt;
    }
    return reason_of(r);
}

void delete_gateway(const ModuleScope& scope, nb::handle logger, nb::handle CID, nb::handle url,
                    nb::handle data, nb::handle name, Kind kind) {
    std::optional<nb::object> reason = post_unless_accepted(scope, logger, url, data, name);
    if (!reason) return;
    if (gateway_gone(scope, logger, CID, url, name, kind)) {
        log_info(logger, {"  spoke gateway ", name, " is gone: counted as deleted"});
        return;
    }
    raise_rollback(scope, native::text({"Spoke gateway ", name, " was not deleted: ", *reason}));
}

void raise_rollback(const ModuleScope& scope, nb::handle message) {
    native::raise_object(native::call(scope.global("CorvaneRollbackException"), {message}));
}

}  // namespace morvent::spoke::outcome
