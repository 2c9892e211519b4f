#include "web/webDb.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace lbweb {

namespace {

struct StmtCloser {
    void operator()(MYSQL_STMT *s) const { mysql_stmt_close(s); }
};
using StmtPtr = std::unique_ptr<MYSQL_STMT, StmtCloser>;

// Longest value fetched; table server's widest column holds 49 characters.
constexpr unsigned long kCellLen = 256;

const char kColumns[] = "servername, serverip, maxconn, servermac, state, switchport";

StoredServer storedFrom(const std::vector<std::string> &r) {
    return {r[0], r[1], r[2], r[3], r[4], r[5]};
}

}  // namespace

std::unique_ptr<WebDb> WebDb::open(const std::string &dbconfigPath, std::string &err) {
    std::ifstream in(dbconfigPath);
    std::string host, user, password;
    if (!(in >> host >> user >> password)) {
        err = "cannot read host, user and password from " + dbconfigPath;
        return nullptr;
    }
    MYSQL *con = mysql_init(nullptr);
    if (con == nullptr) {
        err = "mysql_init failed";
        return nullptr;
    }
    // A database that does not answer must not hold a page for long.
    unsigned int connectS = 3, ioS = 5;
    mysql_options(con, MYSQL_OPT_CONNECT_TIMEOUT, &connectS);
    mysql_options(con, MYSQL_OPT_READ_TIMEOUT, &ioS);
    mysql_options(con, MYSQL_OPT_WRITE_TIMEOUT, &ioS);
    // CLIENT_FOUND_ROWS: an UPDATE that changes nothing still counts its row, so "no
    // such server" is told from "nothing to change".
    if (mysql_real_connect(con, host.c_str(), user.c_str(), password.c_str(), "loadbalancer", 0,
                           nullptr, CLIENT_FOUND_ROWS) == nullptr) {
        err = std::string("database: ") + mysql_error(con);
        mysql_close(con);
        return nullptr;
    }
    return std::unique_ptr<WebDb>(new WebDb(con));
}

WebDb::~WebDb() {
    mysql_close(con_);
}

long long WebDb::run(const char *sql, const std::vector<std::string> &params,
                     std::vector<std::vector<std::string>> *rows, unsigned cols, std::string &err) {
    StmtPtr st(mysql_stmt_init(con_));
    auto fail = [&]() -> long long {
        lastErrno_ = st ? mysql_stmt_errno(st.get()) : mysql_errno(con_);
        err = std::string("database: ") + (st ? mysql_stmt_error(st.get()) : mysql_error(con_));
        return -1;
    };
    if (!st || mysql_stmt_prepare(st.get(), sql, strlen(sql)) != 0)
        return fail();
    std::vector<MYSQL_BIND> in(params.size());
    std::vector<unsigned long> inLen(params.size());
    for (size_t i = 0; i < params.size(); i++) {
        in[i] = MYSQL_BIND{};
        in[i].buffer_type = MYSQL_TYPE_STRING;
        in[i].buffer = const_cast<char *>(params[i].data());
        inLen[i] = params[i].size();
        in[i].buffer_length = inLen[i];
        in[i].length = &inLen[i];
    }
    if ((!in.empty() && mysql_stmt_bind_param(st.get(), in.data()) != 0) ||
        mysql_stmt_execute(st.get()) != 0)
        return fail();
    if (rows == nullptr)
        return static_cast<long long>(mysql_stmt_affected_rows(st.get()));

    std::vector<MYSQL_BIND> out(cols);
    std::vector<std::string> cell(cols, std::string(kCellLen, '\0'));
    std::vector<unsigned long> len(cols);
    std::vector<my_bool> isNull(cols), error(cols);
    for (unsigned i = 0; i < cols; i++) {
        out[i] = MYSQL_BIND{};
        out[i].buffer_type = MYSQL_TYPE_STRING;
        out[i].buffer = cell[i].data();
        out[i].buffer_length = kCellLen;
        out[i].length = &len[i];
        out[i].is_null = &isNull[i];
        out[i].error = &error[i];
    }
    if (mysql_stmt_bind_result(st.get(), out.data()) != 0)
        return fail();
    int rc;
    while ((rc = mysql_stmt_fetch(st.get())) == 0 || rc == MYSQL_DATA_TRUNCATED) {
        std::vector<std::string> row;
        for (unsigned i = 0; i < cols; i++)
            row.push_back(isNull[i] ? "NULL"
                                    : cell[i].substr(0, std::min<unsigned long>(len[i], kCellLen)));
        rows->push_back(std::move(row));
    }
    if (rc != MYSQL_NO_DATA)
        return fail();
    return static_cast<long long>(rows->size());
}

bool WebDb::servers(std::vector<StoredServer> &out, std::string &err) {
    std::vector<std::vector<std::string>> rows;
    std::string sql = std::string("SELECT ") + kColumns + " FROM server ORDER BY id";
    if (run(sql.c_str(), {}, &rows, 6, err) < 0)
        return false;
    out.clear();
    for (const auto &r : rows)
        out.push_back(storedFrom(r));
    return true;
}

std::optional<StoredServer> WebDb::server(const std::string &address, std::string &err) {
    std::vector<std::vector<std::string>> rows;
    std::string sql = std::string("SELECT ") + kColumns + " FROM server WHERE serverip = ?";
    if (run(sql.c_str(), {address}, &rows, 6, err) <= 0)
        return std::nullopt;
    return storedFrom(rows.front());
}

Change WebDb::changeOne(const char *sql, const std::vector<std::string> &params, std::string &err) {
    long long n = run(sql, params, nullptr, 0, err);
    if (n < 0)
        return lastErrno_ == ER_DUP_ENTRY ? Change::Duplicate : Change::Failed;
    return n == 0 ? Change::Missing : Change::Done;
}

Change WebDb::insert(const ServerRow &row, std::string &err) {
    return changeOne(
        "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {row.name, row.address, std::to_string(row.maxconn), row.mac, stateWord(row.locked),
         std::to_string(row.port)},
        err);
}

Change WebDb::update(const ServerRow &row, std::string &err) {
    return changeOne(
        "UPDATE server SET servername = ?, maxconn = ?, servermac = ?, state = ?, "
        "switchport = ? WHERE serverip = ?",
        {row.name, std::to_string(row.maxconn), row.mac, stateWord(row.locked),
         std::to_string(row.port), row.address},
        err);
}

Change WebDb::setLocked(const std::string &address, bool locked, std::string &err) {
    return changeOne("UPDATE server SET state = ? WHERE serverip = ?", {stateWord(locked), address},
                     err);
}

Change WebDb::remove(const std::string &address, std::string &err) {
    return changeOne("DELETE FROM server WHERE serverip = ?", {address}, err);
}

Change WebDb::restore(const StoredServer &row, std::string &err) {
    return changeOne(
        "REPLACE INTO server (servername, serverip, maxconn, servermac, state, switchport) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {row.name, row.address, row.maxconn, row.mac, row.state, row.port}, err);
}

bool WebDb::settings(DbSettings &out, std::string &err) {
    std::vector<std::vector<std::string>> vip, ctrl, cluster;
    if (run("SELECT vip FROM vip_conf ORDER BY id LIMIT 1", {}, &vip, 1, err) < 0 ||
        run("SELECT controllerip, controllermac, dpid FROM controller ORDER BY id LIMIT 1", {},
            &ctrl, 3, err) < 0 ||
        run("SELECT clustername FROM cluster ORDER BY id LIMIT 1", {}, &cluster, 1, err) < 0)
        return false;
    out = DbSettings{};
    if (!vip.empty())
        out.vip = vip[0][0];
    if (!ctrl.empty()) {
        out.controllerIp = ctrl[0][0];
        out.controllerMac = ctrl[0][1];
        out.dpid = ctrl[0][2];
    }
    if (!cluster.empty())
        out.cluster = cluster[0][0];
    return true;
}

}  // namespace lbweb
