// The undoable commands and their mementos.
//
// Each class is a genuine Python class: instance state lives in the instance
// __dict__ (so toDict() hands out the live dictionary, subclasses work, and a
// memento can be rebuilt from its class and that dictionary), and every
// collaborator -- Globals, comm, the module's controller functions, even the
// command and memento classes themselves -- is looked up in the module's
// globals when a method runs.
//
// Arguments are evaluated left to right into locals before each call, as the
// interpreter would, since C++ leaves the order of argument evaluation open.
#include "outcome.hpp"

#include <initializer_list>
#include <utility>

namespace morvent::spoke {

using native::add_member;
using native::add_method;
using native::param;
using native::raise_object;
using native::equals_false;
using native::equals_none;
using native::Field;
using native::is_true;
using native::item;
using native::make_class;

namespace {

constexpr const char* kHsPath = "/v2/api";
constexpr const char* kClassicPath = "/v1/api";

// self.<name> = <value> for each field, in order, so that the instance
// __dict__ lists the attributes in the constructor's argument order.
void store(nb::handle self, std::initializer_list<Field> fields) {
    for (const Field& field : fields) native::set_attr(self, field.first, field.second);
}

// The controller session a command method works with.
struct Session {
    nb::object cid;
    nb::str url;
};

// The opening of every command method: record the operation under the
// instance's class name (a subclass records its own name), then read the
// session from Globals afresh, CID first.
Session begin(const ModuleScope& scope, nb::handle self, const char* path) {
    native::call_method(scope.global("comm"), "logOperation", {native::class_name(self)});
    nb::object cid = native::attr(scope.global("Globals"), "CID");
    nb::str url = scope.controller_url(path);
    return {std::move(cid), std::move(url)};
}

nb::object dict_of(nb::handle self) { return native::attr(self, "__dict__"); }

// The mementos' toDict(): the instance's own attribute dictionary, the live
// one, so the history stores exactly what the memento holds.
void add_to_dict(nb::handle cls) {
    add_method(cls, "toDict", [](nb::handle self) { return dict_of(self); },
               "The memento's own attribute dictionary (the live one).");
}

// A class of the module with its docstring.
nb::object new_class(const ModuleScope& scope, const char* name, nb::tuple bases,
                     const char* doc) {
    nb::object cls = make_class(scope, name, std::move(bases));
    add_member(cls, "__doc__", nb::str(doc));
    return cls;
}

// ---------------------------------------------------------------------------
// HsSpokeCreateMemento

nb::object make_HsSpokeCreateMemento(const ModuleScope& scope, nb::tuple bases) {
    nb::object cls = new_class(
        scope, "HsSpokeCreateMemento", std::move(bases),
        "Records the creation of one HS spoke gateway; restore() deletes it again.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle spoke_info) {
                   store(self, {{"spoke_info", spoke_info}});
               },
               param("spoke_info"));

    add_method(cls, "getSpokeInfo",
               [](nb::handle self) { return native::attr(self, "spoke_info"); },
               "The spoke info of the created gateway (the stored object itself).");

    add_method(cls, "restore",
               [scope](nb::handle self) {
                   nb::object cmd = native::call(scope.global("HsSpokeCmd"));
                   nb::object del = native::attr(cmd, "delete");
                   nb::object name = item(native::attr(self, "spoke_info"), "gw_name");
                   native::call(del, {name});
               },
               "Delete the recorded gateway through a fresh HsSpokeCmd.");

    add_to_dict(cls);
    return cls;
}

// ---------------------------------------------------------------------------
// HsSpokeCmd

nb::object make_HsSpokeCmd(const ModuleScope& scope) {
    nb::object cls = new_class(
        scope, "HsSpokeCmd", nb::make_tuple(),
        "Creates a primary or HA HS spoke gateway, returning a memento, and deletes one.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle account_name, nb::handle spoke_gw_name,
                  nb::handle spoke_gw_size, nb::handle vpc_id, nb::handle region,
                  nb::handle primary) {
                   store(self, {{"account_name", account_name},
                                {"spoke_gw_name", spoke_gw_name},
                                {"spoke_gw_size", spoke_gw_size},
                                {"vpc_id", vpc_id},
                                {"region", region},
                                {"primary", primary}});
               },
               param("account_name") = nb::none(), param("spoke_gw_name") = nb::none(),
               param("spoke_gw_size") = nb::none(), param("vpc_id") = nb::none(),
               param("region") = nb::none(), param("primary") = true);

    // The name keeps its historical spelling; callers and subclasses use it.
    add_method(cls, "_saveMememto",
               [scope](nb::handle /*self*/, nb::handle spoke_info) {
                   return native::call(scope.global("HsSpokeCreateMemento"), {spoke_info});
               },
               param("spoke_info"),
               nb::sig("def _saveMememto(self, spoke_info) -> HsSpokeCreateMemento"));

    add_method(cls, "create",
               [scope](nb::handle self, nb::handle subnet_cidr, nb::handle eip, nb::handle gw_size,
                       nb::handle ha_gw_name) {
                   Session s = begin(scope, self, kHsPath);
                   nb::object size = nb::borrow(gw_size);
                   nb::object own_size = native::attr(self, "spoke_gw_size");
                   if (!own_size.is_none()) size = own_size;

                   nb::object spoke_info = nb::none();
                   if (is_true(native::attr(self, "primary"))) {
                       nb::object deploy = scope.global("deployPrimaryHsSpoke");
                       nb::object account_name = native::attr(self, "account_name");
                       nb::object spoke_gw_name = native::attr(self, "spoke_gw_name");
                       nb::object vpc_id = native::attr(self, "vpc_id");
                       nb::object region = native::attr(self, "region");
                       spoke_info = native::call(deploy, {s.cid, s.url, account_name, spoke_gw_name,
                                                          size, vpc_id, region, subnet_cidr, eip});
                   } else {
                       nb::object deploy = scope.global("deployHaHsSpoke");
                       nb::object spoke_gw_name = native::attr(self, "spoke_gw_name");
                       spoke_info = native::call(deploy, {s.cid, s.url, spoke_gw_name, size,
                                                          subnet_cidr, eip, ha_gw_name});
                   }

                   // A dry run creates nothing, so there is nothing to check.
                   if (equals_false(native::attr(scope.global("Globals"), "dry_run"))) {
                       if (equals_none(spoke_info) || equals_none(item(spoke_info, "gw_name"))) {
                           nb::object exc_type = scope.global("CorvaneRollbackException");
                           nb::object name = native::attr(self, "spoke_gw_name");
                           nb::str message =
                               native::text({"Spoke gateway ", name, " creation failure"});
                           raise_object(native::call(exc_type, {message}));
                       }
                   }
                   return native::call_method(self, "_saveMememto", {spoke_info});
               },
               param("subnet_cidr"), param("eip"), param("gw_size"),
               param("ha_gw_name") = nb::none(),
               nb::sig("def create(self, subnet_cidr, eip, gw_size, ha_gw_name=None) "
                       "-> HsSpokeCreateMemento"),
               "Create the gateway and return an HsSpokeCreateMemento.\n\n"
               "Raises CorvaneRollbackException when, outside a dry run, no gateway was created.");

    add_method(cls, "delete",
               [scope](nb::handle self, nb::handle spoke_gw_name) {
                   Session s = begin(scope, self, kHsPath);
                   nb::object logger = scope.logger();
                   nb::object name = nb::borrow(spoke_gw_name);
                   if (equals_none(name)) name = native::attr(self, "spoke_gw_name");
                   native::log_info(logger, {"- Delete HS spoke gateway ", name});
                   native::call(scope.global("deleteHsSpoke"), {s.cid, s.url, name});
               },
               param("spoke_gw_name") = nb::none(),
               "Delete an HS spoke gateway, by default the command's own.");
    return cls;
}

// ---------------------------------------------------------------------------
// DeployHsSpokeGwCmd and DeployClassicSpokeGwCmd

nb::object make_DeployHsSpokeGwCmd(const ModuleScope& scope, nb::tuple bases) {
    nb::object cls = new_class(scope, "DeployHsSpokeGwCmd", std::move(bases),
                               "Deploys the HS spoke gateways of a VPC; undo() deletes them.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle account_name, nb::handle spoke_gw_name,
                  nb::handle spoke_gw_size, nb::handle vpc_id, nb::handle region,
                  nb::handle natGwInfos, nb::handle num_of_spoke) {
                   store(self, {{"account_name", account_name},
                                {"spoke_gw_name", spoke_gw_name},
                                {"spoke_gw_size", spoke_gw_size},
                                {"vpc_id", vpc_id},
                                {"region", region},
                                {"natGwInfos", natGwInfos},
                                {"num_of_spoke", num_of_spoke}});
               },
               param("account_name") = nb::none(), param("spoke_gw_name") = nb::none(),
               param("spoke_gw_size") = nb::none(), param("vpc_id") = nb::none(),
               param("region") = nb::none(), param("natGwInfos") = nb::none(),
               param("num_of_spoke") = nb::none());

    add_method(cls, "execute", [scope](nb::handle self) {
        Session s = begin(scope, self, kHsPath);
        nb::object deploy = scope.global("deployHsSpoke");
        nb::object account_name = native::attr(self, "account_name");
        nb::object spoke_gw_name = native::attr(self, "spoke_gw_name");
        nb::object spoke_gw_size = native::attr(self, "spoke_gw_size");
        nb::object vpc_id = native::attr(self, "vpc_id");
        nb::object region = native::attr(self, "region");
        nb::object nat_gw_infos = native::attr(self, "natGwInfos");
        nb::object num_of_spoke = native::attr(self, "num_of_spoke");
        native::call(deploy, {s.cid, s.url, account_name, spoke_gw_name, spoke_gw_size, vpc_id,
                              region, nat_gw_infos, num_of_spoke});
    });

    add_method(cls, "undo", [scope](nb::handle self) {
        Session s = begin(scope, self, kHsPath);
        nb::object remove = scope.global("deleteAllHsSpokes");
        native::call(remove, {s.cid, s.url, native::attr(self, "spoke_gw_name")});
    });

    add_method(cls, "save_backup", [](nb::handle /*self*/) {}, "Nothing to save.");
    return cls;
}

nb::object make_DeployClassicSpokeGwCmd(const ModuleScope& scope, nb::tuple bases) {
    nb::object cls = new_class(scope, "DeployClassicSpokeGwCmd", std::move(bases),
                               "Deploys a classic spoke gateway for a VPC; undo() deletes it.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle account_name, nb::handle spoke_gw_name,
                  nb::handle spoke_gw_size, nb::handle vpc_id, nb::handle region,
                  nb::handle natGwInfos) {
                   store(self, {{"account_name", account_name},
                                {"spoke_gw_name", spoke_gw_name},
                                {"spoke_gw_size", spoke_gw_size},
                                {"vpc_id", vpc_id},
                                {"region", region},
                                {"natGwInfos", natGwInfos}});
               },
               param("account_name") = nb::none(), param("spoke_gw_name") = nb::none(),
               param("spoke_gw_size") = nb::none(), param("vpc_id") = nb::none(),
               param("region") = nb::none(), param("natGwInfos") = nb::none());

    add_method(cls, "execute", [scope](nb::handle self) {
        Session s = begin(scope, self, kClassicPath);
        nb::object deploy = scope.global("deployClassicSpoke");
        nb::object account_name = native::attr(self, "account_name");
        nb::object spoke_gw_name = native::attr(self, "spoke_gw_name");
        nb::object spoke_gw_size = native::attr(self, "spoke_gw_size");
        nb::object vpc_id = native::attr(self, "vpc_id");
        nb::object region = native::attr(self, "region");
        nb::object nat_gw_infos = native::attr(self, "natGwInfos");
        native::call(deploy, {s.cid, s.url, account_name, spoke_gw_name, spoke_gw_size, vpc_id,
                              region, nat_gw_infos});
    });

    add_method(cls, "undo", [scope](nb::handle self) {
        Session s = begin(scope, self, kClassicPath);
        nb::object remove = scope.global("deleteSpoke");
        native::call(remove, {s.cid, s.url, native::attr(self, "spoke_gw_name")});
    });
    return cls;
}

// ---------------------------------------------------------------------------
// SnatEnableMemento and SnatCmd

nb::object make_SnatEnableMemento(const ModuleScope& scope, nb::tuple bases) {
    nb::object cls =
        new_class(scope, "SnatEnableMemento", std::move(bases),
                  "Records that SNAT was enabled on a gateway; restore() disables it.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle spoke_gw_name) {
                   store(self, {{"spoke_gw_name", spoke_gw_name}});
               },
               param("spoke_gw_name"));

    add_method(cls, "restore",
               [scope](nb::handle self) {
                   nb::object cmd_type = scope.global("SnatCmd");
                   nb::object cmd = native::call(cmd_type, {native::attr(self, "spoke_gw_name")});
                   native::call_method(cmd, "disable");
               },
               "Disable SNAT on the recorded gateway through a fresh SnatCmd.");

    add_to_dict(cls);
    return cls;
}

nb::object make_SnatCmd(const ModuleScope& scope) {
    nb::object cls = new_class(scope, "SnatCmd", nb::make_tuple(),
                               "Switches single-IP SNAT on a spoke gateway on and off.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle spoke_gw_name) {
                   store(self, {{"spoke_gw_name", spoke_gw_name}});
               },
               param("spoke_gw_name"));

    add_method(cls, "_saveMemento", [scope](nb::handle self) {
        nb::object memento_type = scope.global("SnatEnableMemento");
        return native::call(memento_type, {native::attr(self, "spoke_gw_name")});
    }, nb::sig("def _saveMemento(self) -> SnatEnableMemento"));

    add_method(cls, "enable",
               [scope](nb::handle self) {
                   Session s = begin(scope, self, kHsPath);
                   nb::object enable = scope.global("enableSNAT");
                   // Name first and CID last: enableSNAT's own parameter order.
                   native::call(enable, {native::attr(self, "spoke_gw_name"), s.url, s.cid});
                   return native::call_method(self, "_saveMemento");
               },
               nb::sig("def enable(self) -> SnatEnableMemento"),
               "Enable SNAT and return a SnatEnableMemento.");

    add_method(cls, "disable", [scope](nb::handle self) {
        Session s = begin(scope, self, kHsPath);
        nb::object disable = scope.global("disable_snat");
        native::call(disable, {s.cid, s.url, native::attr(self, "spoke_gw_name")});
    });
    return cls;
}

// ---------------------------------------------------------------------------
// ResizeSpokeGatewayMemento and ResizeSpokeGatewayCmd

nb::object make_ResizeSpokeGatewayMemento(const ModuleScope& scope, nb::tuple bases) {
    nb::object cls = new_class(
        scope, "ResizeSpokeGatewayMemento", std::move(bases),
        "Records a gateway resize; restore() sets the gateway back to from_gw_size.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle spoke_gw_name, nb::handle from_gw_size,
                  nb::handle to_gw_size) {
                   store(self, {{"spoke_gw_name", spoke_gw_name},
                                {"from_gw_size", from_gw_size},
                                {"to_gw_size", to_gw_size}});
               },
               param("spoke_gw_name"), param("from_gw_size"), param("to_gw_size"));

    add_method(cls, "restore",
               [scope](nb::handle self) {
                   try {
                       nb::object cmd_type = scope.global("ResizeSpokeGatewayCmd");
                       nb::object name = native::attr(self, "spoke_gw_name");
                       nb::object to_size = native::attr(self, "to_gw_size");
                       nb::object from_size = native::attr(self, "from_gw_size");
                       // The sizes exchanged; the inverse memento of this resize is not kept.
                       nb::object cmd = native::call(cmd_type, {name, to_size, from_size});
                       native::call_method(cmd, "execute");
                   } catch (nb::python_error& e) {
                       // A gateway that is gone has nothing left to size back:
                       // the undo is complete.  Any other failure stands.
                       if (!e.matches(PyExc_Exception)) throw;
                       native::HandlingException handling(e.value());
                       nb::object logger = scope.logger();
                       nb::object cid = native::attr(scope.global("Globals"), "CID");
                       nb::str url = scope.controller_url(kHsPath);
                       nb::object name = native::attr(self, "spoke_gw_name");
                       if (!outcome::gateway_gone(scope, logger, cid, url, name)) throw;
                       native::log_info(logger, {"  spoke gateway ", name,
                                                 " is gone: nothing to size back"});
                   }
               },
               "Resize the gateway back through a fresh ResizeSpokeGatewayCmd.\n\n"
               "When that fails and the gateway is gone, there is nothing to undo.");

    add_to_dict(cls);
    return cls;
}

nb::object make_ResizeSpokeGatewayCmd(const ModuleScope& scope) {
    nb::object cls = new_class(scope, "ResizeSpokeGatewayCmd", nb::make_tuple(),
                               "Changes the instance size of a spoke gateway.");

    add_method(cls, "__init__",
               [](nb::handle self, nb::handle spoke_gw_name, nb::handle from_gw_size,
                  nb::handle to_gw_size) {
                   store(self, {{"spoke_gw_name", spoke_gw_name},
                                {"from_gw_size", from_gw_size},
                                {"to_gw_size", to_gw_size}});
               },
               param("spoke_gw_name"), param("from_gw_size"), param("to_gw_size"));

    add_method(cls, "_saveMemento", [scope](nb::handle self) {
        nb::object memento_type = scope.global("ResizeSpokeGatewayMemento");
        nb::object name = native::attr(self, "spoke_gw_name");
        nb::object from_size = native::attr(self, "from_gw_size");
        nb::object to_size = native::attr(self, "to_gw_size");
        return native::call(memento_type, {name, from_size, to_size});
    }, nb::sig("def _saveMemento(self) -> ResizeSpokeGatewayMemento"));

    add_method(cls, "execute",
               [scope](nb::handle self) {
                   Session s = begin(scope, self, kHsPath);
                   nb::object resize = scope.global("changeSpokeSize");
                   nb::object name = native::attr(self, "spoke_gw_name");
                   nb::object to_size = native::attr(self, "to_gw_size");
                   // from_gw_size is only recorded, never sent.
                   native::call(resize, {s.cid, s.url, name, to_size});
                   return native::call_method(self, "_saveMemento");
               },
               nb::sig("def execute(self) -> ResizeSpokeGatewayMemento"),
               "Resize the gateway to to_gw_size and return a ResizeSpokeGatewayMemento.");
    return cls;
}

}  // namespace

void bind_commands(const ModuleScope& scope) {
    nb::tuple memento = nb::make_tuple(scope.global("Memento"));
    nb::tuple command = nb::make_tuple(scope.global("AbstractCommand"));
    scope.bind("HsSpokeCreateMemento", make_HsSpokeCreateMemento(scope, memento));
    scope.bind("HsSpokeCmd", make_HsSpokeCmd(scope));
    scope.bind("DeployHsSpokeGwCmd", make_DeployHsSpokeGwCmd(scope, command));
    scope.bind("DeployClassicSpokeGwCmd", make_DeployClassicSpokeGwCmd(scope, command));
    scope.bind("SnatEnableMemento", make_SnatEnableMemento(scope, memento));
    scope.bind("SnatCmd", make_SnatCmd(scope));
    scope.bind("ResizeSpokeGatewayMemento", make_ResizeSpokeGatewayMemento(scope, memento));
    scope.bind("ResizeSpokeGatewayCmd", make_ResizeSpokeGatewayCmd(scope));
}

}  // namespace morvent::spoke
