// Entry of the extension module morvent.lib.spoke.
#include "spoke.hpp"

namespace spoke = morvent::spoke;
namespace nb = nanobind;
using morvent::native::ModuleScope;

NB_MODULE(spoke, m) {
    const ModuleScope scope(m);

    // Collaborators, bound in this order and looked up at call time.
    scope.import_module("requests");
    scope.import_from("morvent.lib.corvane_backend", "handleControllerApiFailureAndExit");
    scope.import_from("morvent.lib.corvane_backend", "handleControllerApiFailure");
    scope.import_from("morvent.lib.corvane_backend", "_send_corvane_api");
    scope.import_from("morvent.core.exceptions", "CorvaneRollbackException");
    scope.import_from("morvent.commands.abstract_command", "AbstractCommand");
    scope.import_from("morvent.commands.memento", "Memento");
    scope.import_from("morvent.core.Globals", "Globals");
    scope.import_module("logging");
    morvent::native::logcache::note_originals(scope.global("logging"));
    scope.import_from("morvent.lib.commonlib", "Common", "comm");

    // Public functions, in order of definition.
    scope.bind("getSpokeInfo", spoke::make_getSpokeInfo(scope));
    scope.bind("list_gateway_info", spoke::make_list_gateway_info(scope));
    scope.bind("getSubnetWithSpokeGw", spoke::make_getSubnetWithSpokeGw(scope));
    scope.bind("changeSpokeSize", spoke::make_changeSpokeSize(scope));
    scope.bind("deployClassicSpoke", spoke::make_deployClassicSpoke(scope));
    scope.bind("deployPrimaryHsSpoke", spoke::make_deployPrimaryHsSpoke(scope));
    scope.bind("deployHaHsSpoke", spoke::make_deployHaHsSpoke(scope));
    scope.bind("deployHsSpoke", spoke::make_deployHsSpoke(scope));
    scope.bind("deleteSpoke", spoke::make_deleteSpoke(scope));
    scope.bind("deleteHsSpoke", spoke::make_deleteHsSpoke(scope));
    scope.bind("deleteAllHsSpokes", spoke::make_deleteAllHsSpokes(scope));
    scope.bind("enableSNAT", spoke::make_enableSNAT(scope));
    scope.bind("disable_snat", spoke::make_disable_snat(scope));

    // Classes, in order of definition.
    spoke::bind_commands(scope);
}
