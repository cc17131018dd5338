// HS and classic spoke deployment.
#include "outcome.hpp"

#include <algorithm>
#include <optional>

namespace morvent::spoke {

using native::param;

using namespace nb::literals;
using native::equals;
using native::equals_true;
using native::is_true;
using native::item;
using native::length;
using native::log_info;
using native::payload;

namespace {

// [x.subnet_cidr for x in natGwInfos]
nb::list subnet_cidrs_of(nb::handle natGwInfos) {
    nb::list cidrs;
    for (nb::handle info : native::iterate(natGwInfos))
        cidrs.append(native::attr(info, "subnet_cidr"));
    return cidrs;
}

// The size asked for, or the NAT gateway's own size when none was asked for.
nb::object size_for(nb::handle spoke_gw_size, nb::handle nat_gw_info) {
    if (spoke_gw_size.is_none()) return native::attr(nat_gw_info, "gateway_size");
    return nb::borrow(spoke_gw_size);
}

// The first blank-separated word of a create answer's text: the name under
// which the controller registered the new gateway.
nb::object first_word(nb::handle results) {
    return item(native::call_method(results, "split", {native::name(" ")}), Py_ssize_t{0});
}

// list_gateway_info(api_endpoint_url=url, CID=CID, vpc_access_account_name="",
// acx_gw_only="no", gw_name=name).json()
nb::object lookup_gateway(const ModuleScope& scope, nb::handle url, nb::handle CID,
                          nb::handle gw_name) {
    nb::object response = native::call(scope.global("list_gateway_info"), {},
                                       {{"api_endpoint_url", url},
                                        {"CID", CID},
                                        {"vpc_access_account_name", native::name("")},
                                        {"acx_gw_only", native::name("no")},
                                        {"gw_name", gw_name}});
    return rest::json(response);
}

// getSpokeInfo(answer["results"][0], subnet_cidr)
nb::object spoke_info_in(const ModuleScope& scope, nb::handle answer, nb::handle subnet_cidr) {
    nb::object first = item(item(answer, "results"), Py_ssize_t{0});
    return native::call(scope.global("getSpokeInfo"), {first, subnet_cidr});
}

// The spoke info of the gateway `gw_name` in `subnet_cidr`, or `missing`
// when the controller reports no such gateway: a failed lookup, or a
// successful one that lists no gateway at all.
nb::object find_existing(const ModuleScope& scope, nb::handle url, nb::handle CID,
                         nb::handle gw_name, nb::handle subnet_cidr, nb::handle missing) {
    nb::object answer = lookup_gateway(scope, url, CID, gw_name);
    if (equals_true(item(answer, "return")) && is_true(item(answer, "results")))
        return spoke_info_in(scope, answer, subnet_cidr);
    return payload({{"gw_name", missing}});
}

// find_existing for a live create: {"gw_name": None} also when the look-up
// answer is unusable (a record without "public_subnet", a body that is not
// JSON, a lost connection), with one error line saying why.
nb::object look_up(const ModuleScope& scope, nb::handle logger, nb::handle url, nb::handle CID,
                   nb::handle gw_name, nb::handle subnet_cidr) {
    nb::object why;
    try {
        return find_existing(scope, url, CID, gw_name, subnet_cidr, Py_None);
    } catch (nb::python_error& e) {
        std::optional<nb::str> no = outcome::no_answer(scope, e);
        if (!no) throw;
        why = *no;
    }
    native::log_error(logger, {"  **Error** no usable answer to the look-up of spoke gateway ",
                               gw_name, ": ", why, "; counted as not found"});
    return payload({{"gw_name", Py_None}});
}

// One look-up of the gateway `name` in `subnet_cidr` after a create the
// controller confirmed: its spoke info, or nothing, with `why` set to what
// the look-up showed instead (a refusal, no record, a record in another
// subnet, an unusable answer).
std::optional<nb::object> seen(const ModuleScope& scope, nb::handle url, nb::handle CID,
                               nb::handle name, nb::handle subnet_cidr, nb::object& why) {
    try {
        nb::object answer = lookup_gateway(scope, url, CID, name);
        if (!equals_true(item(answer, "return"))) {
            why = outcome::reason_of(answer);
        } else if (!is_true(item(answer, "results"))) {
            why = nb::borrow(native::name("the controller lists no such gateway"));
        } else {
            nb::object info = spoke_info_in(scope, answer, subnet_cidr);
            if (!native::equals_none(item(info, "gw_name"))) return info;
            why = native::text({"its record shows no gateway in ", subnet_cidr});
        }
    } catch (nb::python_error& e) {
        std::optional<nb::str> no = outcome::no_answer(scope, e);
        if (!no) throw;
        why = *no;
    }
    return std::nullopt;
}

// Globals.<name> as a whole number, or `otherwise` when Globals has none.
long setting(const ModuleScope& scope, const char* name, long otherwise) {
    nb::object value = nb::getattr(scope.global("Globals"), name, nb::int_(otherwise));
    long number = PyLong_AsLong(value.ptr());
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    return number;
}

// The gateway a create request made, as the controller confirmed.  It is
// looked up by the name its answer begins with (the first blank-separated
// word of a text "results"), then by `fallback_name` when that is another
// name (the requested one; for an HA gateway its primary, whose HA list
// shows it), no look-up twice in a row.  A look-up that shows nothing
// usable proves nothing about a gateway the controller said it made, so the
// look-ups are repeated, Globals.lookup_attempts rounds Globals.lookup_pause
// seconds apart.  A gateway that stays out of sight raises UnrecordedGateway:
// it must not count as "not made", since the undo of the steps before it
// (the NAT gateway put back with its Elastic IP) needs the address the
// gateway may hold.
nb::object find_created(const ModuleScope& scope, nb::handle logger, nb::handle CID,
                        nb::handle url, nb::handle results, nb::handle fallback_name,
                        nb::handle subnet_cidr, nb::handle eip) {
    nb::list names;
    if (PyUnicode_Check(results.ptr())) {
        nb::object word = first_word(results);
        if (is_true(word)) names.append(word);
    }
    if (!native::contains(names, fallback_name)) names.append(fallback_name);
    // The settings are read on the first miss only: a gateway seen at once
    // takes the calls it always took.
    long attempts = 0;
    nb::object why;
    for (long attempt = 1; attempts == 0 || attempt <= attempts; ++attempt) {
        if (attempt > 1) {
            nb::object pause = nb::getattr(scope.global("Globals"), "lookup_pause",
                                           nb::float_(3.0));
            log_info(logger, {"  looking again in ", pause, " s"});
            native::call(native::import_attr("time", "sleep"), {pause});
        }
        bool first = true;
        for (nb::handle name : native::iterate(names)) {
            if (std::optional<nb::object> info = seen(scope, url, CID, name, subnet_cidr, why)) {
                if (attempt > 1 || !first)
                    log_info(logger, {"  spoke gateway ", item(*info, "gw_name"), " found in ",
                                      subnet_cidr, ": counted as created"});
                return *info;
            }
            if (attempts == 0) attempts = std::max(1L, setting(scope, "lookup_attempts", 3));
            native::log_error(logger, {"  **Error** the created spoke gateway in ", subnet_cidr,
                                       " is not seen under the name ", name, " (look-up ",
                                       nb::int_(attempt), " of ", nb::int_(attempts), "): ",
                                       why});
            first = false;
        }
    }
    nb::str message = native::text(
        {"Spoke gateway ", item(names, Py_ssize_t{0}), " was created in ", subnet_cidr,
         " (the controller confirmed it) but is not seen after ", nb::int_(attempts),
         " look-ups (", why, "): stopped without undoing the steps before it"});
    if (!eip.is_none())
        message = native::text({message, ", whose undo needs Elastic IP ", eip,
                                " that the gateway may hold"});
    native::raise_object(
        native::call(native::import_attr("morvent.core.exceptions", "UnrecordedGateway"),
                     {message}));
}

// The create request of both HS functions, sent outside a dry run: post,
// report, log, then describe the new gateway (find_created).  When the
// controller refuses, the gateway may still exist from an earlier attempt,
// so it is looked up by `fallback_name` (the primary's name; an HA gateway
// is found through the primary's HA list).  So it is when the answer is
// lost or unusable: the gateway may or may not have been made, and the
// look-up tells which.
nb::object create_hs_gateway(const ModuleScope& scope, nb::handle logger, nb::handle CID,
                             nb::handle url, nb::handle data, nb::handle fallback_name,
                             nb::handle subnet_cidr, nb::handle eip) {
    std::optional<nb::str> why;
    nb::object confirmed;  // "results" of a create the controller confirmed
    try {
        nb::object response = rest::json(rest::post(scope, url, data));
        native::call(scope.global("handleControllerApiFailure"), {response});
        outcome::log_returned(logger, response);
        if (equals_true(item(response, "return"))) {
            confirmed = native::contains(response, native::name("results"))
                            ? item(response, "results")
                            : nb::none();
        }
    } catch (nb::python_error& e) {
        why = outcome::no_answer(scope, e);
        if (!why) throw;
        native::log_error(logger, {"  **Error** no usable answer to ", item(data, "action"),
                                   " in ", subnet_cidr, ": ", *why, "; looking up ",
                                   fallback_name});
    }
    if (confirmed.is_valid())
        return find_created(scope, logger, CID, url, confirmed, fallback_name, subnet_cidr, eip);
    nb::object found = look_up(scope, logger, url, CID, fallback_name, subnet_cidr);
    if (why) {
        nb::object name = item(found, "gw_name");
        if (!name.is_none())
            log_info(logger, {"  spoke gateway ", name, " found in ", subnet_cidr,
                              ": counted as created"});
    }
    return found;
}

// The entries of existing_gw_cidrs whose "cidr" equals `cidr`.
nb::list gateways_in(nb::handle existing_gw_cidrs, nb::handle cidr) {
    nb::list found;
    for (nb::handle entry : native::iterate(existing_gw_cidrs)) {
        if (equals(item(entry, "cidr"), cidr)) found.append(entry);
    }
    return found;
}

void log_already_there(nb::handle logger, nb::handle cidr, nb::handle found) {
    log_info(logger, {"  subnet ", cidr, " already has a spoke gw ",
                      item(item(found, Py_ssize_t{0}), "gw_name")});
}

}  // namespace

nb::object make_deployClassicSpoke(const ModuleScope& scope) {
    return native::def(
        scope, "deployClassicSpoke",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle account_name,
                nb::handle spoke_gw_name, nb::handle spoke_gw_size, nb::handle vpc,
                nb::handle region, nb::handle natGwInfos) -> nb::object {
            nb::object logger = scope.logger();
            nb::list subnet_cidrs = subnet_cidrs_of(natGwInfos);
            nb::object gw_size = size_for(spoke_gw_size, item(natGwInfos, Py_ssize_t{0}));
            log_info(logger, {"- Deploy spoke gateway ", spoke_gw_name, " in ",
                              item(subnet_cidrs, Py_ssize_t{0})});
            if (rest::live_run(scope)) {
                nb::dict data = payload({{"CID", CID},
                                         {"action", native::name("create_spoke_gw")},
                                         {"account_name", account_name},
                                         {"gw_name", spoke_gw_name},
                                         {"gw_size", gw_size},
                                         {"public_subnet", item(subnet_cidrs, Py_ssize_t{0})},
                                         {"vpc_id", vpc},
                                         {"region", region},
                                         {"cloud_type", nb::int_(1)},
                                         {"reuse_eip", native::name("off")}});
                nb::object response = rest::json(rest::post(scope, controller_api_url, data));
                native::call(scope.global("handleControllerApiFailureAndExit"), {response});
                rest::log_returned(logger, response);
            }
            if (length(subnet_cidrs) > 1) {
                nb::object ha_cidr = item(subnet_cidrs, Py_ssize_t{1});
                log_info(logger, {"- Enable HA on spoke gateway ", spoke_gw_name, " in ", ha_cidr});
                if (rest::live_run(scope)) {
                    nb::dict data = payload({{"CID", CID},
                                             {"action", native::name("enable_spoke_ha")},
                                             {"account_name", account_name},
                                             {"gw_name", spoke_gw_name},
                                             {"public_subnet", ha_cidr}});
                    nb::object response = rest::json(rest::post(scope, controller_api_url, data));
                    native::call(scope.global("handleControllerApiFailureAndExit"), {response});
                    rest::log_returned(logger, response);
                }
            }
            return nb::none();
        },
        param("CID"), param("controller_api_url"), param("account_name"), param("spoke_gw_name"),
        param("spoke_gw_size"), param("vpc"), param("region"), param("natGwInfos"));
}

nb::object make_deployPrimaryHsSpoke(const ModuleScope& scope) {
    return native::def(
        scope, "deployPrimaryHsSpoke",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle account_name,
                nb::handle spoke_gw_name, nb::handle gw_size, nb::handle vpc, nb::handle region,
                nb::handle subnet_cidr, nb::handle eip) -> nb::object {
            nb::object logger = scope.logger();
            log_info(logger, {"- Deploy primary spoke ", spoke_gw_name, " with ", gw_size,
                              " in subnet ", subnet_cidr});
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("create_multicloud_primary_gateway")},
                                     {"cloud_type", nb::int_(1)},
                                     {"account_name", account_name},
                                     {"vpc_id", vpc},
                                     {"vpc_region", region},
                                     {"gw_name", spoke_gw_name},
                                     {"gw_size", gw_size},
                                     {"gw_subnet", subnet_cidr}});
            if (!eip.is_none()) native::set_item(data, "eip", eip);
            if (rest::live_run(scope))
                return create_hs_gateway(scope, logger, CID, controller_api_url, data,
                                         spoke_gw_name, subnet_cidr, eip);
            // Dry run: nothing is created, but an existing gateway is still
            // described so that the caller sees what a real run would use.
            return find_existing(scope, controller_api_url, CID, spoke_gw_name, subnet_cidr,
                                 spoke_gw_name);
        },
        param("CID"), param("controller_api_url"), param("account_name"), param("spoke_gw_name"),
        param("gw_size"), param("vpc"), param("region"), param("subnet_cidr"),
        param("eip") = nb::none());
}

nb::object make_deployHaHsSpoke(const ModuleScope& scope) {
    return native::def(
        scope, "deployHaHsSpoke",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle spoke_gw_name,
                nb::handle gw_size, nb::handle subnet_cidr, nb::handle eip,
                nb::handle ha_gw_name) -> nb::object {
            nb::object logger = scope.logger();
            log_info(logger, {"- Deploy HS Spoke with ", gw_size, " in subnet ", subnet_cidr});
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("create_multicloud_ha_gateway")},
                                     {"cloud_type", nb::int_(1)},
                                     {"primary_gw_name", spoke_gw_name},
                                     {"gw_size", gw_size},
                                     {"gw_subnet", subnet_cidr},
                                     {"autogen_hagw_name", native::name("yes")}});
            if (!eip.is_none()) native::set_item(data, "eip", eip);
            if (!ha_gw_name.is_none()) native::set_item(data, "ha_gw_name", ha_gw_name);
            if (rest::live_run(scope))
                return create_hs_gateway(scope, logger, CID, controller_api_url, data,
                                         spoke_gw_name, subnet_cidr, eip);
            return payload({{"gw_name", ha_gw_name}});
        },
        param("CID"), param("controller_api_url"), param("spoke_gw_name"), param("gw_size"),
        param("subnet_cidr"), param("eip") = nb::none(), param("ha_gw_name") = nb::none());
}

nb::object make_deployHsSpoke(const ModuleScope& scope) {
    return native::def(
        scope, "deployHsSpoke",
        [scope](nb::handle CID, nb::handle controller_api_url, nb::handle account_name,
                nb::handle spoke_gw_name, nb::handle spoke_gw_size, nb::handle vpc,
                nb::handle region, nb::handle natGwInfos, nb::handle num_of_spoke) -> nb::object {
            nb::object logger = scope.logger();
            log_info(logger, {"- Deploy HS Spoke"});
            nb::list subnet_cidrs = subnet_cidrs_of(natGwInfos);

            // What already exists is listed also in a dry run: it is read-only.
            nb::dict data = payload({{"CID", CID},
                                     {"action", native::name("list_primary_and_ha_spoke_gateways")}});
            nb::object response = rest::json(rest::post(scope, controller_api_url, data));
            native::call(scope.global("handleControllerApiFailureAndExit"), {response});
            nb::list gw_names;
            for (nb::handle gw : native::iterate(item(response, "results"))) {
                nb::object name = item(gw, "name");
                if (native::startswith(name, spoke_gw_name)) gw_names.append(name);
            }
            if (length(gw_names) > 0)
                log_info(logger, {"  Found existing spoke gateways ", gw_names});
            nb::object existing_gw_cidrs =
                native::call(scope.global("getSubnetWithSpokeGw"),
                             {CID, controller_api_url, gw_names});

            // The primary goes into the first NAT gateway's subnet.
            nb::object primary_info = item(natGwInfos, Py_ssize_t{0});
            nb::object gw_size = size_for(spoke_gw_size, primary_info);
            nb::object cidr = item(subnet_cidrs, Py_ssize_t{0});
            nb::list found = gateways_in(existing_gw_cidrs, cidr);
            if (length(found) > 0) {
                log_already_there(logger, cidr, found);
            } else {
                log_info(logger, {"  deploy spoke gateway ", spoke_gw_name, " in ", cidr, " for ",
                                  native::attr(primary_info, "nat_gw_id")});
                native::call(scope.global("deployPrimaryHsSpoke"),
                             {CID, controller_api_url, account_name, spoke_gw_name, gw_size, vpc,
                              region, cidr},
                             {{"eip", Py_None}});
            }

            // One HA gateway in the subnet of each further NAT gateway, up to
            // num_of_spoke gateways in all; range() gives the usual TypeError
            // for a count that is not an integer.
            nb::object indexes = native::call(scope.global("range"), {nb::int_(1), num_of_spoke});
            for (nb::handle i : native::iterate(indexes)) {
                cidr = item(subnet_cidrs, i);
                found = gateways_in(existing_gw_cidrs, cidr);
                if (length(found) > 0) {
                    log_already_there(logger, cidr, found);
                    continue;
                }
                nb::object info = item(natGwInfos, i);
                log_info(logger, {"  deploy spoke gateway in ", cidr, " for ",
                                  native::attr(info, "nat_gw_id")});
                gw_size = size_for(spoke_gw_size, info);
                native::call(scope.global("deployHaHsSpoke"),
                             {CID, controller_api_url, spoke_gw_name, gw_size, cidr},
                             {{"eip", Py_None}});
            }
            return nb::none();
        },
        param("CID"), param("controller_api_url"), param("account_name"), param("spoke_gw_name"),
        param("spoke_gw_size"), param("vpc"), param("region"), param("natGwInfos"),
        param("num_of_spoke"));
}

}  // namespace morvent::spoke
