// Manager.execute: replace the NAT gateways of one VPC by HS spoke gateways
// that take over their Elastic IP addresses, one NAT gateway at a time.
//
// Every step leaves an undo record (a memento) in the memento history, which
// lives in the VPC's backup folder and goes to S3, so that a run started
// again skips what is done, and a failed run undoes its newest group of steps
// before it uploads the backup and ends the process with status 1.
#include "brindlemark.hpp"

#include <new>
#include <stdexcept>

namespace morvent::brindlemark {

using namespace nb::literals;
using native::param;
using native::compare;
using native::HandlingException;
using native::is_true;
using native::item;
using native::log_error;
using native::log_info;

namespace {

// exit(1) through the `exit` global; SystemExit(1) when there is none or when
// a replacement of it comes back: the run ends here either way.
[[noreturn]] void exit_1(const ModuleScope& scope) {
    nb::object exit_fn = native::find_global(scope, "exit");
    if (exit_fn.is_valid()) native::call(exit_fn, {nb::int_(1)});
    PyErr_SetObject(PyExc_SystemExit, nb::int_(1).ptr());
    throw nb::python_error();
}

// Runs f; a C++ exception that is not a Python error becomes one, so that the
// error handling below treats it like any error of a collaborator.
template <typename F>
void as_python_error(F&& f) {
    try {
        f();
    } catch (nb::python_error&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw nb::python_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        throw nb::python_error();
    }
}

// The locals of one run of execute and its steps, in the order they run.
class Replacement {
public:
    Replacement(const ModuleScope& scope, nb::handle cls, nb::handle config)
        : scope_(scope), cls_(cls), config_(config) {}

    nb::object run();

private:
    nb::object global(const char* name) const { return scope_.global(name); }
    nb::object memento_history() const { return global("MementoHistory"); }

    void set_up();
    void discover();
    void guarded();
    [[noreturn]] void recover(nb::handle error);
    void rollback();
    void upload();

    bool done();
    void append(nb::handle memento);
    void prepare_test();
    void first_gateway(nb::handle nat_gw);
    void further_gateway(nb::handle nat_gw);
    void create_spoke(nb::handle nat_gw, bool primary, const char* size_key);
    nb::object snapshot(const char* tag);
    nb::object delete_nat_gateway(nb::handle nat_gw);
    void ec2_test(nb::handle nat_gw);
    void resize();

    const ModuleScope& scope_;
    nb::handle cls_;
    nb::handle config_;
    nb::object logger_;
    nb::object ca_;
    nb::object ec2_client_;
    nb::object cw_client_;
    nb::object s3_client_;
    nb::object backup_des_;
    nb::object vpc_backup_folder_;
    nb::object nat_gw_infos_;
    nb::object is_memento_exist_;
    // The spoke info of the newest spoke gateway created in this run; null
    // until one is created (a resumed run may skip every creation).
    nb::object spoke_info_;
};

nb::object Replacement::run() {
    set_up();
    discover();
    nat_gw_infos_ = native::call_method(cls_, "get_natgw_infos", {ec2_client_, ca_});
    native::call_method(memento_history(), "init", {vpc_backup_folder_});

    try {
        as_python_error([this] { guarded(); });
    } catch (nb::python_error& e) {
        HandlingException handling(e.value());
        nb::object rollback_error = global("CorvaneRollbackException");
        if (e.matches(rollback_error) || e.matches(PyExc_Exception)) recover(e.value());
        // KeyboardInterrupt, SystemExit and the like: no rollback, but the
        // steps done so far are saved before the exception goes on.
        upload();
        throw;
    }

    upload();
    return nb::none();
}

void Replacement::set_up() {
    logger_ = scope_.logger();
    ca_ = native::call(global("ConfigAdaptor"), {config_});
    nb::object client_mgr = native::call(global("AwsClientManager"), {config_});
    native::set_attr(global("Globals"), "aws_client_manager", client_mgr);
    ec2_client_ = native::call_method(client_mgr, "getEc2Client");
    cw_client_ = native::call_method(client_mgr, "getCwClient");
    s3_client_ = native::call_method(client_mgr, "getS3Client");

    nb::object environ_get = native::attr(native::attr(global("os"), "environ"), "get");
    nb::object password =
        native::call(environ_get, {native::attr(ca_, "controller_password_env")});

    nb::object get_cid = global("getCid");
    nb::object controller_ip = native::attr(ca_, "controller_ip");
    nb::object controller_user = native::attr(ca_, "controller_user");
    nb::object answer = native::call(get_cid, {controller_ip, controller_user, password});
    nb::object cid = native::unpack_pair(answer).second;
    native::set_attr(global("Globals"), "CID", cid);
    nb::object ip = native::attr(ca_, "controller_ip");
    native::set_attr(global("Globals"), "controller_ip", ip);

    native::call_method(native::call(global("CreateCorvaneAccount"), {ca_}), "execute");

    backup_des_ = native::attr(ca_, "backup_descriptor");
    nb::object backup = native::call(global("S3BackupCmdV2"), {s3_client_, backup_des_});
    native::call_method(backup, "download");
    vpc_backup_folder_ = native::call_method(backup_des_, "getAbsolutePath");

    nb::object init = native::attr(global("CommandHistory"), "init");
    nb::object vpc_id = native::attr(ca_, "vpc_id");
    native::call(init, {vpc_backup_folder_, vpc_id}, {{"version", native::name("v2")}});
}

// The one-time discovery of the VPC's NAT gateways (command 0 of the command
// history), with the route table backup and the sizing of the spokes.
void Replacement::discover() {
    if (is_true(native::call_method(global("CommandHistory"), "is_command_i_done", {nb::int_(0)})))
        return;

    nb::object get_existing = global("get_existing_natgws");
    nb::object nat_gws =
        native::call(get_existing, {ec2_client_, Py_None, native::attr(ca_, "vpc_id")});

    nb::object num_of_spoke;
    if (compare(native::attr(ca_, "hs_mode"), nb::int_(2), Py_EQ)) {
        num_of_spoke = native::call(global("len"), {nat_gws});
    } else {
        // The count, capped at HS_LIMIT (HS_LIMIT only when it is smaller).
        nb::object min = global("min");
        nb::object count = native::call(global("len"), {nat_gws});
        num_of_spoke = native::call(min, {count, native::attr(global("Globals"), "HS_LIMIT")});
    }

    nb::list nat_gw_ids;
    for (nb::handle x : native::iterate(nat_gws)) nat_gw_ids.append(item(x, "NatGatewayId"));

    nb::object backup_all_rtbs = global("backupAllRtbs");
    nb::object vpc_id = native::attr(ca_, "vpc_id");
    nb::object tag_route_table = native::attr(ca_, "tag_route_table");
    native::call(backup_all_rtbs, {ec2_client_, vpc_backup_folder_, vpc_id, tag_route_table, nat_gw_ids},
                 {{"version", native::name("v2")}});

    nb::object gw_size_cmd = native::call(global("DetermineGwSizeCmd"),
                                          {ec2_client_, cw_client_, num_of_spoke, nat_gws});
    native::call_method(gw_size_cmd, "execute");
    nb::object infos = native::call_method(gw_size_cmd, "getNatGwInfo");
    native::call_method(global("CommandHistory"), "log_discover_natgw_cmd", {infos});

    if (compare(native::call(global("len"), {infos}), nb::int_(0), Py_EQ)) {
        nb::str message("**Error** cleanup has been done, rollback is not allowed!");
        native::call(global("print"), {message});
        exit_1(scope_);
    }
    if (compare(native::call(global("len"), {infos}), nb::int_(2), Py_LT)) {
        nb::str message("**Error** brindlemark requires two Natgw, only 1 is found");
        native::call(global("print"), {message});
        exit_1(scope_);
    }
}

// True when the memento history already holds the next step of the sequence.
bool Replacement::done() { return is_true(native::call(global("next"), {is_memento_exist_})); }

void Replacement::append(nb::handle memento) {
    native::call_method(memento_history(), "append", {memento});
}

void Replacement::guarded() {
    is_memento_exist_ = native::call_method(memento_history(), "is_memento_exist");

    if (compare(native::attr(ca_, "enable_test"), Py_True, Py_EQ) && !done()) prepare_test();

    Py_ssize_t i = 0;
    for (nb::handle record : native::iterate(nat_gw_infos_)) {
        nb::object nat_gw = nb::borrow(record);
        nb::int_ index(i);
        if (compare(native::attr(ca_, "hs_mode"), nb::int_(1), Py_EQ) && i > 1) {
            ++i;
            continue;
        }
        if (compare(native::attr(global("Globals"), "cmdcnt"), nb::int_(0), Py_GE) &&
            compare(index, native::attr(global("Globals"), "cmdcnt"), Py_GE)) {
            nb::object cmdcnt = native::attr(global("Globals"), "cmdcnt");
            log_info(logger_, {"- Terminate with command count ", cmdcnt});
            break;
        }
        if (i == 0) {
            first_gateway(nat_gw);
        } else {
            further_gateway(nat_gw);
        }
        ec2_test(nat_gw);
        ++i;
    }

    resize();
}

// The EC2 test needs the instance data of every NAT gateway.
void Replacement::prepare_test() {
    nb::list tmp;
    for (nb::handle x : native::iterate(nat_gw_infos_)) {
        nb::object nat_gw_id = item(x, "nat_gw_id");
        nb::object gw_name = item(x, "nat_gw_id");
        nb::object gw_public_ip = item(x, "eip");
        nb::object gw_private_ip = item(x, "private_ip");
        nb::object gw_subnet_id = item(x, "subnet_id");
        tmp.append(native::payload({{"nat_gw_id", nat_gw_id},
                                    {"gw_name", gw_name},
                                    {"gw_public_ip", gw_public_ip},
                                    {"gw_private_ip", gw_private_ip},
                                    {"gw_subnet_id", gw_subnet_id}}));
    }
    nb::object append_fn = native::attr(memento_history(), "append");
    nb::object test_cmd = global("TestCmd");
    nb::object input = native::attr(ca_, "input_test_config");
    nb::object output = native::attr(ca_, "output_test_config");
    native::call(append_fn,
                 {native::call_method(native::call(test_cmd, {input, output, tmp}), "execute")});
}

nb::object Replacement::snapshot(const char* tag) {
    nb::object snapshot_cmd = global("SnapshotRTCmd");
    nb::object vpc_id = native::attr(ca_, "vpc_id");
    nb::object s3_bucket = native::attr(ca_, "s3_bucket");
    nb::object cmd = native::call(snapshot_cmd,
                                  {ec2_client_, vpc_backup_folder_, vpc_id, nat_gw_infos_, s3_bucket},
                                  {{"tag", native::name(tag)}, {"version", native::name("v2")}});
    return native::call_method(cmd, "execute");
}

nb::object Replacement::delete_nat_gateway(nb::handle nat_gw) {
    nb::object nat_gw_cmd = global("NatGwCmd");
    nb::object vpc_id = native::attr(ca_, "vpc_id");
    nb::object cmd = native::call(nat_gw_cmd, {ec2_client_, vpc_id, vpc_backup_folder_},
                                  {{"version", native::name("v2")}});
    return native::call_method(cmd, "delete", {nat_gw});
}

// Record 0: its traffic goes to the NAT gateway of record 1 while it is
// replaced by the primary spoke gateway, which then gets single-IP SNAT.
void Replacement::first_gateway(nb::handle nat_gw) {
    if (!done()) {
        nb::object append_fn = native::attr(memento_history(), "append");
        native::call(append_fn, {snapshot("s1")}, {{"MarkBegin", Py_True}});
    }
    if (!done()) {
        nb::object append_fn = native::attr(memento_history(), "append");
        nb::object traffic_cmd = global("NatGwTrafficCmd");
        nb::object nat_gw_id = item(item(nat_gw_infos_, Py_ssize_t{0}), "nat_gw_id");
        nb::object subnet_id = item(item(nat_gw_infos_, Py_ssize_t{0}), "subnet_id");
        nb::object vpc_id = native::attr(ca_, "vpc_id");
        nb::object cmd = native::call(traffic_cmd,
                                      {ec2_client_, nat_gw_id, subnet_id, vpc_id, vpc_backup_folder_},
                                      {{"tag", native::name("s1")}});
        nb::object move_traffic = native::attr(cmd, "moveTraffic");
        nb::object target = item(item(nat_gw_infos_, Py_ssize_t{1}), "subnet_id");
        native::call(append_fn, {native::call(move_traffic, {target})});
    }
    if (!done()) {
        nb::object append_fn = native::attr(memento_history(), "append");
        native::call(append_fn, {delete_nat_gateway(nat_gw)});
    }
    if (!done()) create_spoke(nat_gw, true, "initial_size");
    if (!done()) {
        nb::object append_fn = native::attr(memento_history(), "append");
        native::call(append_fn, {snapshot("s2")});
    }
    if (!done()) {
        nb::object append_fn = native::attr(memento_history(), "append");
        nb::object snat_cmd = global("SnatCmd");
        nb::object cmd = native::call(snat_cmd, {native::attr(ca_, "spoke_gw_name")});
        native::call(append_fn, {native::call_method(cmd, "enable")});
    }
}

// Every further record: delete its NAT gateway, then an HA spoke gateway
// takes the freed Elastic IP address.
void Replacement::further_gateway(nb::handle nat_gw) {
    if (!done()) {
        nb::object append_fn = native::attr(memento_history(), "append");
        native::call(append_fn, {delete_nat_gateway(nat_gw)}, {{"MarkBegin", Py_True}});
    }
    if (!done()) create_spoke(nat_gw, false, "size");
}

void Replacement::create_spoke(nb::handle nat_gw, bool primary, const char* size_key) {
    nb::object spoke_cmd = global("HsSpokeCmd");
    nb::object account = native::attr(ca_, "aws_account_name");
    nb::object name = native::attr(ca_, "spoke_gw_name");
    nb::object size = native::attr(ca_, "spoke_gw_size");
    nb::object vpc_id = native::attr(ca_, "vpc_id");
    nb::object region = native::attr(ca_, "region");
    nb::object cmd = native::call(spoke_cmd, {account, name, size, vpc_id, region},
                                  {{"primary", primary ? Py_True : Py_False}});
    nb::object create = native::attr(cmd, "create");
    nb::object subnet_cidr = item(nat_gw, "subnet_cidr");
    nb::object eip = item(nat_gw, "eip");
    nb::object gw_size = item(nat_gw, size_key);
    nb::object spoke_memento = native::call(create, {subnet_cidr, eip, gw_size});
    spoke_info_ = native::call_method(spoke_memento, "getSpokeInfo");
    append(spoke_memento);
}

// Runs on every run, also for records whose steps were all done before.
void Replacement::ec2_test(nb::handle nat_gw) {
    if (!compare(native::attr(ca_, "enable_test"), Py_True, Py_EQ)) return;
    if (!spoke_info_.is_valid()) {
        // A resumed run that skipped this record's spoke creation has no
        // spoke info to test with; that is no reason to roll back.
        log_info(logger_, {"  skip EC2 test for ", item(nat_gw, "subnet_cidr"),
                           ": no spoke gateway created in this run"});
        return;
    }
    nb::object generate = native::attr(global("Test"), "generate_test_config");
    nb::object input = native::attr(ca_, "input_test_config");
    nb::object output = native::attr(ca_, "output_test_config");
    native::call(generate, {input, output, spoke_info_});
    if (native::equals_false(native::call_method(global("Test"), "run_test"))) {
        native::raise_object(
            native::call(global("CorvaneRollbackException"), {nb::str("EC2 test failure")}));
    }
}

// The primary was created at its initial size; bring it to the planned one.
void Replacement::resize() {
    if (!native::attr(ca_, "spoke_gw_size").is_none()) return;
    nb::object size = item(item(nat_gw_infos_, Py_ssize_t{0}), "size");
    nb::object initial_size = item(item(nat_gw_infos_, Py_ssize_t{0}), "initial_size");
    if (!compare(size, initial_size, Py_NE)) return;
    if (done()) return;
    nb::object append_fn = native::attr(memento_history(), "append");
    nb::object resize_cmd = global("ResizeSpokeGatewayCmd");
    nb::object name = native::attr(ca_, "spoke_gw_name");
    nb::object from = item(item(nat_gw_infos_, Py_ssize_t{0}), "initial_size");
    nb::object to = item(item(nat_gw_infos_, Py_ssize_t{0}), "size");
    nb::object cmd = native::call(resize_cmd, {name, from, to});
    native::call(append_fn, {native::call_method(cmd, "execute")});
}

// Called while `error` is the exception being handled: log it, undo the
// newest group of steps, save the backup and end the process.
void Replacement::recover(nb::handle error) {
    try {
        as_python_error([&] {
            log_error(logger_, {"  **Error** ", error});
            native::call_method(global("traceback"), "print_exc");
            rollback();
        });
    } catch (nb::python_error& e) {
        HandlingException handling(e.value());
        if (!e.matches(PyExc_Exception)) {
            // Interrupted while rolling back: save what was undone so far.
            upload();
            throw;
        }
        log_error(logger_, {"  **Error** ", e.value()});
        native::call_method(global("traceback"), "print_exc");
    }
    upload();
    exit_1(scope_);
}

// Undoes the newest group, newest step first, down to its opening step.  A
// memento whose restore fails goes back on the history as it was, so the
// history still matches what exists and a later run or revert retries it.
void Replacement::rollback() {
    while (!is_true(native::call_method(memento_history(), "isEmpty"))) {
        nb::object is_cmd_begin = native::call_method(memento_history(), "isCmdBegin");
        nb::object x = native::call_method(memento_history(), "pop");
        try {
            native::call_method(x, "restore");
        } catch (nb::python_error& e) {
            HandlingException handling(e.value());
            native::call_method(memento_history(), "append", {x}, {{"MarkBegin", is_cmd_begin}});
            throw;
        }
        if (is_true(is_cmd_begin)) break;
    }
}

void Replacement::upload() {
    native::call_method(native::call(global("S3BackupCmdV2"), {s3_client_, backup_des_}), "upload");
}

}  // namespace

nb::object make_execute(const ModuleScope& scope, nb::handle manager) {
    return nb::cpp_function(
        [scope](nb::handle cls, nb::handle config) -> nb::object {
            return Replacement(scope, cls, config).run();
        },
        nb::scope(manager), nb::name("execute"), param("cls"), param("config"));
}

}  // namespace morvent::brindlemark
