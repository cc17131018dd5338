// Manager.revert and Manager.cleanup.
#include "brindlemark.hpp"

namespace morvent::brindlemark {

using namespace nb::literals;
using native::param;

namespace {

void upload(const ModuleScope& scope, nb::handle s3_client, nb::handle backup_des) {
    scope.global("S3BackupCmdV2")(s3_client, backup_des).attr("upload")();
}

// Undoes everything the memento history holds, newest first, then saves the
// emptied history to S3.
nb::object revert(const ModuleScope& scope, nb::handle config) {
    nb::object ca = scope.global("ConfigAdaptor")(config);
    nb::object passwd_env = ca.attr("controller_password_env");
    nb::object password = scope.global("os").attr("environ").attr("get")(passwd_env);
    nb::object client_mgr = scope.global("AwsClientManager")(config);
    native::set_attr(scope.global("Globals"), "aws_client_manager", client_mgr);
    nb::object s3_client = client_mgr.attr("getS3Client")();

    nb::object get_cid = scope.global("getCid");
    nb::object controller_ip = ca.attr("controller_ip");
    nb::object controller_user = ca.attr("controller_user");
    nb::object cid = native::unpack_pair(get_cid(controller_ip, controller_user, password)).second;
    native::set_attr(scope.global("Globals"), "CID", cid);
    nb::object ip = ca.attr("controller_ip");
    native::set_attr(scope.global("Globals"), "controller_ip", ip);

    scope.global("CreateCorvaneAccount")(ca).attr("execute")();

    nb::object backup_des = ca.attr("backup_descriptor");
    scope.global("S3BackupCmdV2")(s3_client, backup_des).attr("download")();
    nb::object vpc_backup_folder = backup_des.attr("getAbsolutePath")();
    scope.global("MementoHistory").attr("init")(vpc_backup_folder);

    while (!native::is_true(scope.global("MementoHistory").attr("isEmpty")())) {
        nb::object is_cmd_begin = scope.global("MementoHistory").attr("isCmdBegin")();
        nb::object x = scope.global("MementoHistory").attr("pop")();
        try {
            x.attr("restore")();
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
