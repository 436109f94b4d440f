// What a port is, beside what it is called: a USB adapter plugged into another socket, or
// back after another adapter took its old name, comes back under a new name. And who holds
// a port that another program has open.
#pragma once

#include <string>
#include <vector>

namespace lintaro {

// The identity of the named port where the system knows one, else empty. USB adapters:
// "usb:<vendor>:<product>:<serial>", or "usb:<vendor>:<product>@<USB location>" for an
// adapter without a serial number; "/<interface>.<port>" follows for any but an adapter's
// first port. Windows: "pnp:" and the Plug-and-Play instance of the port. Linux reads
// sysfs, or the folder that the environment variable LINTARO_SYSFS_DIR names instead.
std::string COMPortIdentity(const std::string& name);

// The one name among `names` whose port has `identity`. Empty when none has it, when
// `identity` is empty, and when several have it (clone adapters share a serial number):
// a guess could open the wrong device.
std::string FindCOMPortByIdentity(const std::string& identity,
                                  const std::vector<std::string>& names);

// The names among `names` (one per device) of adapters without a serial number that may be
// the adapter of `identity` plugged into another USB socket: the same vendor, product and
// port of the adapter, in any socket. Empty for any other identity (one with a serial
// number is found by FindCOMPortByIdentity alone).
std::vector<std::string> FindMovedAdapter(const std::string& identity,
                                          const std::vector<std::string>& names);

// Where the adapter last seen with `identity` is among `names` now: the one port with that
// identity, else the only adapter without a serial number that may be it in another socket
// (FindMovedAdapter), with the identity it has there. Nothing is chosen when several may be
// it; `twins` names them then.
struct AdapterWhereabouts {
    std::string name;
    std::string identity;
    std::vector<std::string> twins;
};
AdapterWhereabouts FindAdapter(const std::string& identity, const std::vector<std::string>& names);

// The log line of an adapter found under `found.name`, last seen as `stored` with
// `storedIdentity`.
std::string AdapterFoundText(const std::string& stored, const std::string& storedIdentity,
                             const AdapterWhereabouts& found);

// Who holds the named port, for a port that could not be opened because it is in use:
// "<program> (PID <id>)" for each of the user's own processes that has it open, joined by
// ", "; "другой пользователь" when none of them has (Linux). Empty where the system does
// not tell (Windows).
std::string COMPortHolder(const std::string& name);

}  // namespace lintaro
