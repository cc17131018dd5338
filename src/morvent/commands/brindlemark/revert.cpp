// Manager.revert and Manager.cleanup.
#include "brindlemark.hpp"

namespace morvent::brindlemark {

using namespace nb::literals;
using native::param;

namespace {

void upload(const ModuleScope& scope, nb::handle s3_client, nb::handle backup_des) {
    nb::object backup = native::call(scope.global("S3BackupCmdV2"), {s3_client, backup_des});
    native::call_method(backup, "upload");
}

// Undoes everything the memento history holds, newest first, then saves the
// emptied history to S3.
nb::object revert(const ModuleScope& scope, nb::handle config) {
    nb::object ca = native::call(scope.global("ConfigAdaptor"), {config});
    nb::object passwd_env = native::attr(ca, "controller_password_env");
    nb::object environ_get = native::attr(native::attr(scope.global("os"), "environ"), "get");
    nb::object password = native::call(environ_get, {passwd_env});
    nb::object client_mgr = native::call(scope.global("AwsClientManager"), {config});
    native::set_attr(scope.global("Globals"), "aws_client_manager", client_mgr);
    nb::object s3_client = native::call_method(client_mgr, "getS3Client");

    nb::object get_cid = scope.global("getCid");
    nb::object controller_ip = native::attr(ca, "controller_ip");
    nb::object controller_user = native::attr(ca, "controller_user");
    nb::object answer = native::call(get_cid, {controller_ip, controller_user, password});
    nb::object cid = native::unpack_pair(answer).second;
    native::set_attr(scope.global("Globals"), "CID", cid);
    nb::object ip = native::attr(ca, "controller_ip");
    native::set_attr(scope.global("Globals"), "controller_ip", ip);

    native::call_method(native::call(scope.global("CreateCorvaneAccount"), {ca}), "execute");

    nb::object backup_des = native::attr(ca, "backup_descriptor");
    nb::object backup = native::call(scope.global("S3BackupCmdV2"), {s3_client, backup_des});
    native::call_method(backup, "download");
    nb::object vpc_backup_folder = native::call_method(backup_des, "getAbsolutePath");
    native::call_method(scope.global("MementoHistory"), "init", {vpc_backup_folder});

    while (!native::is_true(native::call_method(scope.global("MementoHistory"), "isEmpty"))) {
        nb::object is_cmd_begin = native::call_method(scope.global("MementoHistory"), "isCmdBegin");
        nb::object x = native::call_method(scope.global("MementoHistory"), "pop");
        try {
            native::call_method(x, "restore");
        } catch (nb::python_error& e) {
            // The step was not undone: put its memento back as it was and
            // save the history, so a second revert starts again with it and
            // never undoes a step twice.
            native::HandlingException handling(e.value());
            native::call_method(scope.global("MementoHistory"), "append", {x},
                                {{"MarkBegin", is_cmd_begin}});
            upload(scope, s3_client, backup_des);
            throw;
        }
    }

    upload(scope, s3_client, backup_des);
    return nb::none();
}

}  // namespace

nb::object make_revert(const ModuleScope& scope, nb::handle manager) {
    return nb::cpp_function(
        [scope](nb::handle /*cls*/, nb::handle config) -> nb::object {
            return revert(scope, config);
        },
        nb::scope(manager), nb::name("revert"), param("cls"), param("config"));
}

nb::object make_cleanup(const ModuleScope& scope, nb::handle manager) {
    return nb::cpp_function(
        [scope](nb::handle /*cls*/, nb::handle /*config*/) -> nb::object {
            native::log_info(scope.logger(), {"Not implemented"});
            return nb::none();
        },
        nb::scope(manager), nb::name("cleanup"), param("cls"), param("config"));
}

}  // namespace morvent::brindlemark
