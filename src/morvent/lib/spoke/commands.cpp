// The undoable commands and their mementos.
#include "spoke.hpp"

namespace morvent::spoke {

using native::make_class;

void bind_commands(const ModuleScope& scope) {
    nb::tuple memento = nb::make_tuple(scope.global("Memento"));
    nb::tuple command = nb::make_tuple(scope.global("AbstractCommand"));
    nb::tuple none = nb::make_tuple();
    scope.bind("HsSpokeCreateMemento", make_class(scope, "HsSpokeCreateMemento", memento));
    scope.bind("HsSpokeCmd", make_class(scope, "HsSpokeCmd", none));
    scope.bind("DeployHsSpokeGwCmd", make_class(scope, "DeployHsSpokeGwCmd", command));
    scope.bind("DeployClassicSpokeGwCmd", make_class(scope, "DeployClassicSpokeGwCmd", command));
    scope.bind("SnatEnableMemento", make_class(scope, "SnatEnableMemento", memento));
    scope.bind("SnatCmd", make_class(scope, "SnatCmd", none));
    scope.bind("ResizeSpokeGatewayMemento", make_class(scope, "ResizeSpokeGatewayMemento", memento));
    scope.bind("ResizeSpokeGatewayCmd", make_class(scope, "ResizeSpokeGatewayCmd", none));
}

}  // namespace morvent::spoke
