// Entry of the extension module morvent.commands.brindlemark.
#include "brindlemark.hpp"

namespace bm = morvent::brindlemark;
namespace nb = nanobind;
using morvent::native::ModuleScope;
using morvent::native::add_member;
using morvent::native::make_class;

NB_MODULE(brindlemark, m) {
    const ModuleScope scope(m);

    // Collaborators, bound in this order and looked up at call time.
    scope.import_from("morvent.lib.natgw", "get_existing_natgws");
    scope.import_from("morvent.lib.gateway_size", "DetermineGwSizeCmd");
    scope.import_from("morvent.lib.aws_cred", "AwsClientManager");
    scope.import_from("morvent.core.Globals", "Globals");
    scope.import_from("morvent.lib.spoke", "HsSpokeCmd");
    scope.import_from("morvent.lib.spoke", "SnatCmd");
    scope.import_from("morvent.lib.spoke", "ResizeSpokeGatewayCmd");
    scope.import_from("morvent.lib.route_table", "backupAllRtbs");
    scope.import_from("morvent.lib.s3", "S3BackupCmdV2");
    scope.import_from("morvent.lib.corvane_backend", "getCid");
    scope.import_from("morvent.lib.natgw", "NatGwCmd");
    scope.import_from("morvent.core.ConfigAdaptor", "ConfigAdaptor");
    scope.import_from("morvent.commands.history", "CommandHistory");
    scope.import_from("morvent.commands.history", "MementoHistory");
    scope.import_from("morvent.commands.base_case_handler", "BaseCaseHandler");
    scope.import_from("morvent.lib.test", "Test");
    scope.import_from("morvent.lib.test", "TestCmd");
    scope.import_from("morvent.lib.natgw", "get_natgw_by_subnet");
    scope.import_from("morvent.lib.route_table", "NatGwTrafficCmd");
    scope.import_from("morvent.lib.route_table", "SnapshotRTCmd");
    scope.import_from("morvent.core.exceptions", "CorvaneRollbackException");
    scope.import_from("morvent.lib.cvn_account", "CreateCorvaneAccount");
    scope.import_from("morvent.commands.base_case_handler", "logged");
    scope.import_module("os");
    scope.import_module("logging");
    morvent::native::logcache::note_originals(scope.global("logging"));
    scope.import_module("traceback");

    // The class, then its members in order of definition.  Decorators apply
    // once, here, as they would when a class statement runs.
    nb::object classmethod = scope.global("classmethod");
    nb::object logged = scope.global("logged");
    nb::object manager =
        make_class(scope, "Manager", nb::make_tuple(scope.global("BaseCaseHandler")));
    add_member(manager, "get_natgw_id_by_subnet",
               classmethod(bm::make_get_natgw_id_by_subnet(scope, manager)));
    add_member(manager, "get_natgw_infos", classmethod(bm::make_get_natgw_infos(scope, manager)));
    add_member(manager, "execute", classmethod(logged(bm::make_execute(scope, manager))));
    add_member(manager, "revert", classmethod(logged(bm::make_revert(scope, manager))));
    add_member(manager, "cleanup", classmethod(bm::make_cleanup(scope, manager)));
    scope.bind("Manager", manager);
}
