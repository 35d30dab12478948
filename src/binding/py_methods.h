#pragma once

// The entry points that live in their own files, gathered here for the tables that register
// them (py_client.cpp for TdxClient methods, module.cpp for module functions).

#include "py_ref.h"

namespace quillan::py {

#define QUILLAN_FASTCALL(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)

// Module functions (py_files.cpp, py_ping.cpp); `self` is the module.
QUILLAN_FASTCALL(module_read_daily_bars);
QUILLAN_FASTCALL(module_read_minute_bars);
QUILLAN_FASTCALL(module_ping_servers);

// TdxClient methods (py_reference.cpp)
QUILLAN_FASTCALL(client_get_report_file);
QUILLAN_FASTCALL(client_get_xdxr_info);
QUILLAN_FASTCALL(client_get_finance_info);
QUILLAN_FASTCALL(client_get_company_info_category);
QUILLAN_FASTCALL(client_get_company_info_content);

// TdxClient methods (py_market.cpp)
QUILLAN_FASTCALL(client_get_security_bars);
QUILLAN_FASTCALL(client_get_security_quotes);
QUILLAN_FASTCALL(client_get_transaction_data);

}  // namespace quillan::py
