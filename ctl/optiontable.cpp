#include "ctl/optiontable.h"

#include "ctl/cli.h"
#include "ctl/commands.h"
#include "ctl/brokerlink.h"
#include "ctl/mqttbridge.h"
#include "ctl/scpiserver.h"
#include "ctl/serve.h"
#include "ctl/values.h"

// Every command and option psuctl has. Parsing, --help and each command's help
// are made from these rows, and the test of the manual page reads them too: a
// new command is a row here and its handler, a new option a row here.

namespace {

const OptionRow Options[] = {
    // The line, for every command.
    {'p', "port", "PORT", ValueKind::Text, 0, 0, nullptr, nullptr, nullptr, nullptr,
     "COM1 to COM12, numbered as psutool numbers them (USB adapters first), a device path such as "
     "/dev/ttyUSB0, tcp://HOST:PORT for a Modbus TCP server or gateway, or rtu+tcp://HOST:PORT for a transparent "
     "serial server (default %d). A serial port is taken for psuctl alone while it runs", "COM1"},
    {'b', "baud", "BAUD", ValueKind::Choice, 0, 0, "1200 2400 4800 9600 19200 38400 57600 115200", nullptr, nullptr,
     nullptr, "%r (default %d)", "9600"},
    {'P', "parity", "PARITY", ValueKind::Choice, 0, 0, "none even odd", nullptr, nullptr, nullptr, "%r (default %d)", "none"},
    {'d', "data-bits", "BITS", ValueKind::Whole, 7, 8, nullptr, nullptr, nullptr, nullptr, "%r (default %d)", "8"},
    {'s', "stop-bits", "BITS", ValueKind::Whole, 1, 2, nullptr, nullptr, nullptr, nullptr, "%r (default %d)", "1"},
    {'o', "timeout", "SECONDS", ValueKind::Decimal, 0.01, 10, nullptr, nullptr, nullptr, nullptr,
     "how long to wait for a reply to begin, %r (default: the request's own time on the line plus 30 ms, 38 ms "
     "for a read at 9600 baud)"},
    {0, "retries", "N", ValueKind::Whole, 0, 10, nullptr, nullptr, nullptr, nullptr,
     "how often to ask again after a timeout or a spoilt reply (a failed CRC check, or an acknowledgement that "
     "echoes another register or count), %r (default %d)", "1"},
    {0, "gateway-delay", "MS", ValueKind::Whole, 0, 10000, nullptr, nullptr, nullptr, nullptr,
     "on a tcp:// or rtu+tcp:// link, the time the network and the server add to every reply, waited for on "
     "top of the timeout, %r (default 1000 on tcp://, where the server may hold a request behind other "
     "clients' requests, and 100 on rtu+tcp://)"},
    {0, "no-lock", nullptr, ValueKind::Flag, 0, 0, nullptr, nullptr, nullptr, nullptr,
     "use a serial port without its lock file, where no lock directory may be written (psuctl otherwise refuses "
     "to start there, as other programs would not see that the port is taken)"},
    {'v', "verbose", nullptr, ValueKind::Flag, 0, 0, nullptr, nullptr, nullptr, nullptr,
     "print every frame sent and received in hex on stderr, with the milliseconds since the port opened"},
    {'h', "help", nullptr, ValueKind::Flag, 0, 0, nullptr, nullptr, nullptr, nullptr,
     "print this help, or a command's help after the command"},
    {0, "version", nullptr, ValueKind::Flag, 0, 0, nullptr, nullptr, nullptr, nullptr, "print the version"},

    // The supply.
    {'a', "address", "ADDR[:MODEL],...", ValueKind::Supplies, 1, 247, nullptr, "status mqtt scpi serve", "status mqtt", "bus address",
     "bus addresses, %r: one (1), a list (1,5,17), a range (1-8) or a mix; each may name its own model "
     "(1:QELT30-05,5:QELT60-05)"},
    {'a', "address", "ADDR", ValueKind::Whole, 1, 247, nullptr, "set run calibrate", "set run calibrate",
     "bus address", "bus address, %r"},
    {'m', "model", "MODEL", ValueKind::Model, 0, 0, nullptr, "status mqtt scpi serve", nullptr, "model",
     "model name or menu number, for the supplies -a gives without one"},
    {'m', "model", "MODEL", ValueKind::Model, 0, 0, nullptr, "set", nullptr, "model",
     "model name or menu number (needed with --voltage, --current, --ovp and --ocp)"},
    {'m', "model", "MODEL", ValueKind::Model, 0, 0, nullptr, "run", "run", "model", "model name or menu number"},

    // scan
    {0, "from", "A", ValueKind::Whole, 1, 247, nullptr, "scan", nullptr, nullptr, "first address, %r (default %d)", "1"},
    {0, "to", "B", ValueKind::Whole, 1, 247, nullptr, "scan", nullptr, nullptr, "last address, %r (default %d)", "247"},

    // status
    {0, "watch", "MS", ValueKind::Whole, 0, 86400000, nullptr, "status", nullptr, nullptr,
     "read again every MS milliseconds (%r) until --count rounds or Ctrl-C; 0 reads as fast as the line allows. "
     "Rounds keep the rhythm: a late reply does not shift the next one, and rounds that fell due during a slow "
     "one are skipped"},
    {0, "count", "N", ValueKind::Whole, 1, 2000000000, nullptr, "status", nullptr, nullptr,
     "stop after N rounds (default 1, or no end with --watch)"},
    {0, "format", "FORMAT", ValueKind::Choice, 0, 0, "table csv json", "status", nullptr, nullptr,
     "%r (default %d)", "table"},

    // the metrics, for status --watch, the bridge and serve
    {0, "metrics", "ADDR:PORT", ValueKind::Text, 0, 0, nullptr, "status mqtt serve scpi", nullptr, nullptr,
     "serve metrics for Prometheus at http://ADDR:PORT/metrics: the readings of the supplies -a lists, and the "
     "line's health per address (:PORT listens on 127.0.0.1 only, 0.0.0.0:PORT on every address)"},
    {0, "bench", "NAME", ValueKind::Text, 0, 0, nullptr, "status serve scpi", nullptr, nullptr,
     "the bench label of the metrics (default the host name)"},

    // set
    {0, "voltage", "V", ValueKind::Decimal, 0, 65535, nullptr, "set", nullptr, nullptr,
     "voltage setpoint (VoltageSetpoint, 0x1000), 0 to the model's voltage limit"},
    {0, "current", "A", ValueKind::Decimal, 0, 65535, nullptr, "set", nullptr, nullptr,
     "current setpoint (CurrentSetpoint, 0x1001), 0 to the model's current limit"},
    {0, "ovp", "V", ValueKind::Decimal, 0, 65535, nullptr, "set", nullptr, nullptr,
     "over-voltage limit (OverVoltageLimit, 0x100A), two steps of the resolution to the model's voltage limit"},
    {0, "ocp", "A", ValueKind::Decimal, 0, 65535, nullptr, "set", nullptr, nullptr,
     "over-current limit (OverCurrentLimit, 0x100B), 0 to the model's current limit"},
    {0, "output", "on|off", ValueKind::OnOff, 0, 0, nullptr, "set", nullptr, nullptr, "output switch (OutputSwitch, 0x1004)"},
    {0, "lock", "on|off", ValueKind::OnOff, 0, 0, nullptr, "set", nullptr, nullptr,
     "front-panel key lock (KeyLock, 0x1006)"},
    {0, "power", "W", ValueKind::Decimal, 0, 65535, nullptr, "set", nullptr, nullptr,
     "power setpoint (PowerSetpoint, 0x1007) in 0.01 W steps, 0 to 650.00 W"},
    {0, "power-control", "on|off", ValueKind::OnOff, 0, 0, nullptr, "set", nullptr, nullptr,
     "constant-power regulation (written as 1 or 0 to OverVoltageLimit, 0x100A)"},
    {0, "pid", "on|off", ValueKind::OnOff, 0, 0, nullptr, "set", nullptr, nullptr,
     "the power regulator's PID loop (written as 0 to start or 1 to stop to OutputPower, 0x1008)"},
    {0, "new-address", "N", ValueKind::Whole, 1, 247, nullptr, "set", nullptr, nullptr,
     "a new bus address (BusAddress, 0x1005), %r"},

    // run
    {0, "cycles", "N", ValueKind::Whole, 1, 1000000, nullptr, "run", nullptr, nullptr,
     "run the steps N times (default %d)", "1"},

    // calibrate
    {0, "voltage-code", "N", ValueKind::Whole, 0, 20, nullptr, "calibrate", nullptr, nullptr,
     "VoltageCorrection (0x101A): 0 to 10 correct by 0 to +10, 11 to 20 by -1 to -10"},
    {0, "current-code", "N", ValueKind::Whole, 0, 200, nullptr, "calibrate", nullptr, nullptr,
     "CurrentCorrection (0x1019): 0 to 100 correct by 0 to +100, 101 to 200 by -1 to -100"},
    {0, "auto", nullptr, ValueKind::Flag, 0, 0, nullptr, "calibrate", nullptr, nullptr,
     "find and write the correction against the station's multimeter, and write a certificate"},
    {0, "quantity", "QUANTITY", ValueKind::Choice, 0, 0, "voltage current both", "calibrate", nullptr, nullptr,
     "what --auto calibrates, %r: both is the voltage, then the current, a certificate each (default %d)", "voltage"},
    {0, "station", "FILE", ValueKind::Text, 0, 0, nullptr, "calibrate", nullptr, "station",
     "the station file that names the reference multimeter, the electronic load for the current (and a scanner "
     "whose channels name the address)"},
    {'m', "model", "MODEL", ValueKind::Model, 0, 0, nullptr, "calibrate", nullptr, "model",
     "model name or menu number (needed with --auto)"},
    {0, "points", "N", ValueKind::Whole, 1, 20, nullptr, "calibrate", nullptr, nullptr,
     "settings per sweep, %r, spread from 10 % to 90 % of the voltage or current limit (default %d)", "3"},
    {0, "readings", "N", ValueKind::Whole, 1, 1000, nullptr, "calibrate", nullptr, nullptr,
     "meter readings per setting, %r (default %d)", "5"},
    {0, "settle", "S", ValueKind::Decimal, 0, 600, nullptr, "calibrate", nullptr, nullptr,
     "seconds to wait after each setting before reading, %r (default %d)", "0.5"},
    {0, "certificate", "DIR", ValueKind::Text, 0, 0, nullptr, "calibrate", nullptr, nullptr,
     "write the certificate (ID.html for printing, ID.json) into DIR (default the current folder)"},
    {0, "environment", "KEY=VALUE,...", ValueKind::Text, 0, 0, nullptr, "calibrate", nullptr, nullptr,
     "conditions for the certificate (temperature=23.1C,humidity=45%); may be given again"},
    {0, "serial", "SN", ValueKind::Text, 0, 0, nullptr, "calibrate", nullptr, nullptr,
     "the supply's serial number, for the certificate and the history (without it no history is kept)"},
    {0, "operator", "NAME", ValueKind::Text, 0, 0, nullptr, "calibrate", nullptr, nullptr,
     "who calibrated, for the certificate and the history (default the login name)"},

    // test
    {0, "serial", "SN[,SN...]", ValueKind::Text, 0, 0, nullptr, "test", "test", "serial numbers",
     "the serial numbers of the units under test, one per slot of the plan, in slot order; none empty, none twice"},
    {0, "report", "DIR", ValueKind::Text, 0, 0, nullptr, "test", nullptr, nullptr,
     "write the run's reports into DIR: JUnit XML, a self-contained HTML page and a CSV of every reading"},
    {0, "db", "FILE|postgresql://USER@HOST[:PORT]/DB", ValueKind::Text, 0, 0, nullptr, "test history calibrate", nullptr, nullptr,
     "the history database: a SQLite file, or a PostgreSQL database (default ~/.local/share/psutool/history.sqlite)"},
    {0, "no-history", nullptr, ValueKind::Flag, 0, 0, nullptr, "test calibrate", nullptr, nullptr,
     "keep no history of the run (its verdicts are then only on the terminal and in the reports)"},
    {0, "operator", "NAME", ValueKind::Text, 0, 0, nullptr, "test", nullptr, nullptr,
     "who ran the test, for the reports and the history (default the login name)"},
    {0, "station", "FILE", ValueKind::Text, 0, 0, nullptr, "test", nullptr, nullptr,
     "the station file of the reference instruments (meter, scanner, load) the plan measures and loads with"},
    {0, "allow-expired", nullptr, ValueKind::Flag, 0, 0, nullptr, "test", nullptr, nullptr,
     "run with a reference whose calibration is past due (the reports say so)"},

    // mqtt
    {0, "broker", "HOST[:PORT]", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the MQTT broker (default %d, port 1883, or 8883 with --cafile)", "localhost"},
    {0, "prefix", "PREFIX", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the first level of every topic (default %d)", "psu"},
    {0, "bench", "NAME", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the second level, naming this bench, and the bench label of the metrics (default the host name)"},
    {0, "poll", "MS", ValueKind::Whole, 10, 86400000, nullptr, "mqtt", nullptr, nullptr,
     "read every supply every MS milliseconds, %r (default %d)", "1000"},
    {0, "username", "USER", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the user name at the broker (default $PSUCTL_MQTT_USERNAME)"},
    {0, "password-file", "FILE", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "read the password from the first line of FILE (default: the credential mqtt-password that systemd's "
     "LoadCredential= hands over, else $PSUCTL_MQTT_PASSWORD; there is no option that "
     "takes the password itself, which ps would show)"},
    {0, "cafile", "FILE", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "connect with TLS, trusting the CA certificate in FILE (PEM)"},
    {0, "homeassistant", nullptr, ValueKind::Flag, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "announce every supply for Home Assistant's MQTT discovery: sensors for voltage, current and power, a "
     "switch for the output, numbers for the voltage and current setpoints"},
    {0, "discovery-prefix", "PREFIX", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the discovery topics' first level (default %d)", "homeassistant"},
    {0, "manufacturer", "NAME", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the supplies' maker, as the discovery's devices name it (default %d)", "Power Supply Test Lab"},
    {0, "failsafe-off", "SECONDS", ValueKind::Whole, 1, 86400, nullptr, "mqtt", nullptr, nullptr,
     "when the broker has given no sign of life (an acknowledgement, a message, a keep-alive answer) for SECONDS "
     "(%r), from start-up on, switch the outputs of the listed supplies off, and again whenever a reading shows "
     "one on until the broker is back; a result message says so when the link returns, and a retained notice on "
     "each supply's failsafe topic until a command is carried out"},
    {0, "client-id", "ID", ValueKind::Text, 0, 0, nullptr, "mqtt", nullptr, nullptr,
     "the MQTT client id, which names the session the broker keeps (default psuctl-PREFIX-BENCH)"},

    // serve
    {0, "listen", "ADDR[:PORT]", ValueKind::Text, 0, 0, nullptr, "serve", nullptr, nullptr,
     "take Modbus TCP clients on this address and port (default 127.0.0.1:1502, this host only; 0.0.0.0 or [::] "
     "for every network; port 0 for one the system picks, which the log names). 1502 because 502, Modbus TCP's "
     "own port, needs privileges"},
    {0, "allow", "RANGE,...", ValueKind::Text, 0, 0, nullptr, "serve scpi", nullptr, nullptr,
     "take clients only from these address ranges (192.168.7.0/24,10.1.2.3,fd00::/8); any other is closed at "
     "once and logged (default: every address that reaches --listen)"},
    {0, "max-clients", "N", ValueKind::Whole, 1, 1000, nullptr, "serve", nullptr, nullptr,
     "clients at once, %r (default 16); one more is logged, its first request answered with exception 0x06 "
     "(server busy), and closed"},
    {0, "idle", "S", ValueKind::Whole, 0, 86400, nullptr, "serve", nullptr, nullptr,
     "cut off a client that has sent nothing for S seconds, %r (default 60; 0: never), and log it, so that "
     "idle connections do not hold the places of --max-clients"},
    {0, "read-only", nullptr, ValueKind::Flag, 0, 0, nullptr, "serve", nullptr, nullptr,
     "serve reads only: every write is answered with exception 0x01 and logged"},
    {0, "allow-write", "RANGE,...", ValueKind::Text, 0, 0, nullptr, "serve", nullptr, nullptr,
     "let only clients from these address ranges write (as --allow; may be given again); others' writes are "
     "answered with exception 0x01 and logged (default: every client may write)"},
    {0, "allow-broadcast", nullptr, ValueKind::Flag, 0, 0, nullptr, "serve", nullptr, nullptr,
     "pass writes to unit id 0, which every supply on the line carries out, on to the line; without it they are "
     "answered with exception 0x01 and logged"},
    {0, "allow-address-change", nullptr, ValueKind::Flag, 0, 0, nullptr, "serve", nullptr, nullptr,
     "pass writes to BusAddress (0x1005) on to the line; without it they are answered with exception 0x02 "
     "(illegal data address) and logged"},
    {0, "stats-every", "MIN", ValueKind::Whole, 0, 1440, nullptr, "serve", nullptr, nullptr,
     "log the statistics (per client and per unit id: requests, exceptions, share of the line's time) every MIN "
     "minutes, %r (default 0: only at SIGUSR1 and at the end)"},

    // scpi
    {0, "listen", "ADDR[:PORT]", ValueKind::Text, 0, 0, nullptr, "scpi", nullptr, nullptr,
     "take SCPI clients on this address, the first supply of -a on PORT and each next one on the port after "
     "(default 127.0.0.1:5025, this host only; 0.0.0.0 or [::] for every network; port 0 for ports the system "
     "picks, which the log names)"},
    {0, "map", "PORT=ADDR[:MODEL],...", ValueKind::Text, 0, 0, nullptr, "scpi", nullptr, nullptr,
     "instead of -a, the port of each supply (5025=1,5026=5:QELT60-05); the host is --listen's"},
    {0, "max-clients", "N", ValueKind::Whole, 1, 1000, nullptr, "scpi", nullptr, nullptr,
     "clients at once on all ports, %r (default 16); one more is logged and closed"},
    {0, "serial", "SN[,SN...]", ValueKind::Text, 0, 0, nullptr, "scpi", nullptr, nullptr,
     "the serial numbers *IDN? gives, one per supply in the order of -a or --map (default: the bus address)"},
    {0, "manufacturer", "NAME", ValueKind::Text, 0, 0, nullptr, "scpi", nullptr, nullptr,
     "the maker *IDN? names (default %d)", "Power Supply Test Lab"},
};

const CommandRow Commands[] = {
    {"models", "models", "list the supply models: menu number, name, limits and resolution",
     "List the supply models psuctl knows, in the order of psutool's model menu: the menu number (usable for -m), "
     "the name, the largest voltage and current setpoint, and the resolution of voltage and current.",
     nullptr, nullptr, nullptr, RunModels},
    {"scan", "scan [--from A] [--to B]", "print the bus addresses that answer, one per line",
     "Probe each bus address from A to B once, with a read of VoltageSetpoint (0x1000), and print the addresses "
     "that answer, one per line, as they are found. A silent address is not asked again. A reply that fails its "
     "CRC check counts as an answer, since something is there; so does an exception reply. With the default "
     "timeout the whole bus (1 to 247) takes under ten seconds at 9600 baud. When stderr is a terminal it shows a "
     "progress bar; otherwise nothing is printed there.",
     "Exit status 3 when no address answers, 130 on Ctrl-C (128 + the number of another signal that ends it).", nullptr, CheckScan, RunScan},
    {"status", "status -a ADDR[:MODEL],... [-m MODEL] [--watch MS] [--count N] [--format table|csv|json] [--metrics ADDR:PORT]",
     "read setpoints, measured voltage and current, output state and output power of one or more supplies, "
     "once or on a rhythm",
     "Read supplies' voltage and current setpoints, measured voltage and current, output state and output power "
     "(two requests each: VoltageSetpoint..OutputSwitch, 0x1000-0x1004, and OutputPower, 0x1008). A round reads "
     "every supply given, in their order, and writes one row for each.",
     "Formats: csv prints the header line\n"
     "  time,address,model,voltage_set,current_set,voltage,current,output,power\n"
     "and one line per reading; json prints one object per line with the same keys; table prints aligned columns "
     "with the time of day. time is ISO 8601 local time with milliseconds and the UTC offset; voltages and currents "
     "carry the model's resolution (12.00, 1.500; a JSON number drops trailing zeros: 12, 1.5), output is on or off, power is in watts (14.40). Each line is "
     "written out as soon as it is read.\n\n"
     "Without --watch the first reading that fails ends the command with its exit status. A watch goes on: a "
     "reading that fails after the retries is reported on stderr with its time, address and cause, no row is "
     "written for it, and the next reading goes on. A port that is lost (the device gone, an I/O error) is opened "
     "again every second, with one line on stderr when it is lost and one when it is back. A watch ended by "
     "--count, Ctrl-C or another signal that ends the program and can be caught (SIGHUP, SIGTERM, ...) exits "
     "with status 0 when every reading came in, 3 when any failed or fell due while the port was lost. A watch "
     "whose stdout is closed (psuctl status --watch ... | head) ends with status 141, as SIGPIPE would end it.",
     nullptr, CheckStatus, RunStatus},
    {"set", "set -a ADDR [-m MODEL] VALUE...", "write setpoints, limits and switches, and read them back",
     "Write values to a supply, one register at a time, and read each back: a supply that holds something other "
     "than what was written ends the command with status 5, naming the register and both values.",
     "An output switched off goes first and one switched on goes last, after the setpoints; a new address goes in "
     "after everything else and is checked by reading from it. Power control and the PID loop share their "
     "registers with other values and cannot be read back: the supply's acknowledgement is their check.",
     nullptr, CheckSet, RunSet},
    {"run", "run -a ADDR -m MODEL STEPS.csv [--cycles N]",
     "run timed voltage and current steps, then switch the output off",
     "Run timed steps. Each step's voltage and current setpoints are written together (0x1000-0x1001); the output "
     "is switched on after the first step's setpoints and switched off when the last step of the last cycle has "
     "run its time, on Ctrl-C or any other signal that ends the program and can be caught (SIGHUP of a dropped "
     "session, SIGTERM, ...; the exit status is then 128 + its number), and on any error; SIGKILL (kill -9) "
     "cannot, and leaves the output on. A closed stdout does not end the run. Steps keep to a fixed schedule, each starting its duration after "
     "the one before, and each is printed as it starts.\n\n"
     "STEPS.csv holds rows of volts,amps,seconds; seconds may have decimals. A header line, blank lines and lines "
     "starting with # are allowed. The whole file is read and checked before anything is sent: a malformed row "
     "ends the command with status 1, naming the line.",
     "A steps file:\n"
     "  volts,amps,seconds\n"
     "  # soft start, then the burn-in\n"
     "  5,0.5,60\n"
     "  12,1.5,28800",
     "STEPS.csv", nullptr, RunSteps},
    {"calibrate",
     "calibrate -a ADDR (--voltage-code N | --current-code N | --auto -m MODEL --station FILE "
     "[--quantity voltage|current|both] [--points N] [--readings N] [--settle S] [--certificate DIR] [--serial SN] "
     "[--operator NAME] [--environment KEY=VALUE,...])",
     "write a voltage or current correction code, or find it against a reference multimeter",
     "Write one correction code to a supply and read it back.\n\n"
     "With --auto, calibrate the output voltage (or with --quantity the current, or both) against the station's "
     "multimeter: an as-found sweep (each setting read --readings times after --settle seconds; readings that keep "
     "moving by more than a quarter of the tolerance after three settle times refuse the supply), the size and "
     "sign of one correction step measured by writing a trial code, the code that best centres the errors written "
     "to VoltageCorrection (0x101A) or CurrentCorrection (0x1019) and read back, and an as-left sweep. The current "
     "is calibrated in current limit: the station's electronic load demands 20 % of the current limit more than "
     "each setting, and the multimeter's current range reads what flows. Each point is judged against the "
     "supply's accuracy, +-(0.1 % of the setting + 2 counts), with the meter's expanded uncertainty (k = 2) and "
     "the simple decision rule (guarded when the test uncertainty ratio is under 4). A certificate (HTML for "
     "printing on A4, and JSON) is written for every calibration, and with --serial the history keeps it.",
     "Refused: a reference past its calibration due date (nothing is sent), readings that do not settle, a step "
     "that does not move the output, a correction beyond the codes' range (+-10 voltage, +-100 current), a "
     "current without a load in the station. A failure of the meter or the "
     "supply midway, or a signal, ends the calibration with ERROR or ABORTED: the output goes off and the "
     "correction found is put back; the certificate then shows no as-left sweep. Exit status 0 when the as-left "
     "sweeps pass, 6 otherwise, 1 for a bad station file or an expired reference, 128 + the signal's number "
     "after a signal.",
     nullptr, CheckCalibrate, RunCalibrate},
    {"mqtt", "mqtt -a ADDR[:MODEL],... [-m MODEL] [--broker HOST[:PORT]] [--bench NAME] [OPTION]...",
     "bridge the supplies on this line to an MQTT broker: readings out, commands in",
     "Own the serial line and read the listed supplies on a rhythm; publish each reading as JSON (the keys of "
     "status --format json) to PREFIX/BENCH/ADDR/state, retained, and take commands on PREFIX/BENCH/ADDR/set. "
     "PREFIX/BENCH/status says online while the bridge runs and offline after it (the broker sends that for a "
     "bridge that dies). PREFIX/BENCH/ADDR/availability says whether the supply answers.\n\n"
     "A command is a JSON object with any of voltage, current, ovp, ocp, power (numbers in V, A and W), output "
     "and lock (\"on\" or \"off\"), and an optional id (a string or number): {\"voltage\": 12, \"output\": "
     "\"on\", \"id\": \"t1\"}. Each value is checked as set checks its option (the model's range, which "
     "for ovp starts at two steps) and rounded as set does; a command with anything wrong, for an address not "
     "listed, or for a supply that does not answer sends nothing. Commands are written and read back between "
     "readings, in the order set uses, and answered on PREFIX/BENCH/ADDR/result: {\"id\", \"ok\": true, "
     "\"written\", \"notes\"} or {\"id\", \"ok\": false, \"error\"}. A command whose id was carried out "
     "already (the broker delivering it again) is answered again with \"repeat\": true and not run twice.",
     "The bridge speaks MQTT 5 and subscribes with QoS 1 in a session the broker keeps a day (client id psuctl-PREFIX-BENCH), so "
     "commands sent while it is away wait for it; it reconnects by itself and publishes state again. A lost port "
     "is opened again every second. SIGINT, SIGTERM, SIGHUP and every other signal that ends the program and can "
     "be caught take a last reading, publish it and offline, and exit 0. "
     "A broker that cannot be reached is tried again every 1 to 4 s, at start-up too; its loss and return, and a "
     "supply's, are one line each on stderr. A retained message on a set topic is never run: it is answered with "
     "why, and cleared; an id longer than 128 bytes is refused. A broker that refuses the login, a TLS "
     "handshake that fails, or a broker that closes the connection before answering the login three times in a "
     "row at start-up (a plain client on a TLS port) ends the bridge with status 7. The unit psuctl-mqtt@.service "
     "runs one bridge per bench from /etc/psuctl/mqtt-BENCH.env, the password in /etc/psuctl/mqtt-BENCH.password "
     "handed over as a credential; it does not restart after status 7.",
     nullptr, CheckMqtt, RunMqtt},
    {"serve",
     "serve [--listen ADDR[:PORT]] [--allow RANGE,...] [--max-clients N] [--idle S] [--read-only | --allow-write "
     "RANGE,...] [--allow-broadcast] [--allow-address-change] [--stats-every MIN] [--metrics ADDR:PORT -a ADDR[:MODEL],...]",
     "share this line with Modbus TCP clients: the window, the bridge and scripts at once",
     "Own the serial line and serve it as a Modbus TCP server, so that several programs use one bench at once "
     "(psutool, psuctl mqtt and psuctl's other commands with -p tcp://HOST:PORT, mbpoll -m tcp, any Modbus TCP "
     "client). The unit id is the bus address. Requests from all clients go on the line one at a time, in turns: "
     "the client after the one served last with a request waiting goes next. Each request gets the line's "
     "timeout (-o) and retries (--retries); when no valid reply comes the client is answered with exception 0x0B "
     "(gateway target failed to respond), and a supply's own exception is passed on. Functions 0x03 (read "
     "holding registers) and 0x10 (write multiple registers) are served, and 0x06 (write single register) goes "
     "on the line as a 0x10 of one register; others are answered with exception 0x01 (illegal function). "
     "Unit id 0 is a broadcast: with --allow-broadcast a write to it is sent once and acknowledged at once, and no other request "
     "goes on the line until the timeout has passed. Writes a client may not make are answered with an exception "
     "and logged, and never reach the line.",
     "Every client's arrival and departure is one line on stderr, with the time. A client that sends something "
     "other than Modbus TCP, leaves a request unfinished for a second, has more than 8 requests waiting, sends "
     "nothing for --idle seconds or does not read its answers (more than 16 KiB of them held by serve and "
     "unacknowledged in its socket's send queue) is cut off, and its waiting requests are dropped; a client that goes while its request "
     "is on the line costs the others only that request; one whose machine stops answering is found by TCP "
     "keep-alive within 90 s. A lost port is opened again every second; meanwhile "
     "requests are answered with exception 0x0B. SIGUSR1 logs the statistics; SIGINT, SIGTERM, SIGHUP and every "
     "other signal that ends the program and can be caught log them, close every client and exit 0 with a line "
     "that tells how busy the line was. The unit psuctl-serve@.service runs one server per bench from "
     "/etc/psuctl/serve-BENCH.env.",
     nullptr, CheckServe, RunServe},
    {"scpi",
     "scpi (-a ADDR[:MODEL],... | --map PORT=ADDR[:MODEL],...) [-m MODEL] [--listen ADDR[:PORT]] [--allow RANGE,...] "
     "[--max-clients N] [--serial SN,...]",
     "each supply on this line a SCPI instrument on a TCP port of its own, for pyvisa and test executives",
     "Own the serial line and serve each supply as a SCPI instrument over a raw TCP socket (VISA's "
     "TCPIP::HOST::PORT::SOCKET), one port per supply. Messages end with a newline; units are separated by ';' and "
     "headers take their short or long form in any case. Common commands: *IDN? (maker, model, serial or bus "
     "address, psuctl's version), *RST (output off, then voltage and current setpoints 0; the protection limits "
     "stay), *CLS, *ESE, *ESE?, *ESR?, *STB?, *SRE, *SRE?, *OPC, *OPC?, *WAI, *TST? (0 when the supply answers). "
     "Subsystems: [SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude] and [SOURce:]CURRent with a value, MIN, MAX or "
     "DEF and their queries (VOLT? MAX), VOLTage:PROTection[:LEVel] and CURRent:PROTection[:LEVel] (DEF: the "
     "model's limit), OUTPut[:STATe] ON|OFF|1|0 and OUTP?, MEASure[:SCALar]:VOLTage[:DC]?, MEAS:CURR?, MEAS:POW?, "
     "SYSTem:ERRor[:NEXT]?, SYST:ERR:COUNt?, SYST:VERSion?, SYST:REMote and SYST:LOCal (the front-panel key lock "
     "on and off). Numbers are NR1, NR2 or NR3 (12, 12.0, 1.2E1, +12) with an optional suffix (12 V, 500 mV, 1.5A).\n\n"
     "Values are in the model's units: a setpoint is rounded to the model's step and its query reads the register, "
     "so VOLT? answers the value written; a value outside the model's range queues -222 and sends nothing. Each "
     "command that needs the line is one request (with the line's timeout and retries); clients take turns a "
     "command at a time. Each connection has its own error queue (16 entries, the last one -350 when it "
     "overflows) and status registers. Errors: -100 a message over 16 KiB, -101 a byte that is not printable "
     "ASCII, -102 syntax, -104 a string where a value belongs, -108 a parameter too many, -109 one missing, -113 an "
     "unknown header, -114 a numeric suffix other than 1, -120 a malformed number, -131 a wrong unit, -138 a unit "
     "where none belongs, -222 a value outside the model's range, -224 a word that is not one of the command's, "
     "-200 the line failed (an exception reply, the port lost; the cause is in the text), -240 the supply did not "
     "answer. A query that fails has no answer: the client's read times out, as on an instrument, and "
     "SYST:ERR? tells why.",
     "Every client's arrival and departure and the first of each error of a client are one line on stderr. A "
     "message longer than 16 KiB is read off to its newline and dropped; a client that does not read its answers "
     "(more than 64 KiB of them) is cut off; one that sends faster than the line answers waits in TCP. A lost port "
     "is opened again every second. SIGINT, SIGTERM and every other signal that ends the program and can be "
     "caught close every client and exit 0. The unit psuctl-scpi@.service runs one server per bench from "
     "/etc/psuctl/scpi-BENCH.env.",
     nullptr, CheckScpi, RunScpi},
    {"test", "test PLAN.toml --serial SN[,SN...] [--report DIR] [--db FILE|postgresql://...] [--station FILE]",
     "run a test plan on every slot at once and judge each unit PASS or FAIL",
     "Run a test plan: every slot of the plan (a supply at its address) at once, their requests interleaved on "
     "the line. The plan is read and checked before anything is sent; a plan with an error ends the command with "
     "status 1, naming the file, line, column and cause. Each check is printed as it is judged (time, slot, step, "
     "check, quantity, value, limits, PASS or FAIL), and each slot's verdict when it ends. A supply that stops "
     "answering ends its slot with ERROR and the cause; the other slots go on. The plan's finally steps run "
     "after a pass, a fail, an error, Ctrl-C and any other signal that ends the program and can be caught "
     "(SIGHUP of a dropped session, SIGTERM, SIGQUIT, ...), and once a lost port is back. SIGKILL (kill -9) and a "
     "crash cannot run them: the outputs stay as they were, the CSV keeps its rows up to then, and the history "
     "shows the run INCOMPLETE. A closed stdout (psuctl test ... | head) does not end the run.\n\n"
     "The history database is opened and checked before anything is sent; one that cannot be had ends the "
     "command with status 1 unless --no-history is given. The CSV report is written row by row as the "
     "readings come.\n\n"
     "A plan that measures with a reference instrument (source = \"dmm\") or loads the supply (a load step) needs "
     "--station: the station file and its driver files are read, each reference is opened and its *IDN? read "
     "before anything is sent to a supply; a reference that does not answer, or whose calibration is past due "
     "(unless --allow-expired), ends the command with status 1. A reference's check is decided with the "
     "uncertainty of its value (U, k = 2): CONDITIONAL when the value is inside the limits but within the guard "
     "band. A reference that fails mid-run ends its slot with ERROR; the finally steps run and the load's input "
     "goes off.",
     "Exit status 0 when every slot passed, 6 when any did not (FAIL, CONDITIONAL or ERROR), 8 when the run's history could not "
     "all be kept (the verdicts are on the terminal and in the reports), 128 + the signal's number after a signal "
     "(130 on Ctrl-C, 129 on SIGHUP, 143 on SIGTERM; after the finally steps), 1 for a bad plan or serial numbers "
     "or a history database that cannot be had, 2 when the port cannot be opened. Plans are TOML files; "
     "examples are in /usr/share/doc/psutool/examples/plans.",
     "PLAN.toml", CheckTest, RunTest},
    {"history", "history SERIAL [--db FILE|postgresql://...]", "list the test runs and calibrations of a serial number with their verdicts",
     "List every run of the unit with serial number SERIAL in the history database, newest first: start, verdict, "
     "plan and version, slot, station, checks and failed checks, and the run's id (which names its report files); "
     "under it, each reference instrument the run measured with: name, kind, link, identity, calibration due date, "
     "and EXPIRED when it was past due.",
     "A slot of a run that never ended (killed, or still going) is shown INCOMPLETE. The calibrations follow, "
     "newest first, with their mean as-found and as-left errors, the codes, and the drift of the as-found error "
     "since the calibration before.\n\n"
     "Exit status 0, also when the serial number has no runs; 1 when the database does not exist or cannot be "
     "read.", "SERIAL", nullptr,
     RunHistory},
};

} // namespace

TableRows<OptionRow> OptionTable()
{
    return {Options, int(sizeof Options / sizeof Options[0])};
}

TableRows<CommandRow> CommandTable()
{
    return {Commands, int(sizeof Commands / sizeof Commands[0])};
}

const CommandRow *FindCommand(const QString &name)
{
    for (const CommandRow &row : CommandTable()) {
        if (name == QLatin1String(row.name))
            return &row;
    }
    return nullptr;
}

bool OptionApplies(const OptionRow &row, const QString &command)
{
    if (!row.commands)
        return true;
    return QString::fromLatin1(row.commands).split(QLatin1Char(' ')).contains(command);
}

const OptionRow *FindOption(const QString &name, const QString &command)
{
    for (const OptionRow &row : OptionTable()) {
        const bool named = name.size() == 1 ? row.letter && name.at(0) == QLatin1Char(row.letter)
                                            : name == QLatin1String(row.name);
        if (named && (command.isEmpty() || OptionApplies(row, command)))
            return &row;
    }
    return nullptr;
}

QString RangeText(const OptionRow &row)
{
    switch (row.kind) {
    case ValueKind::Whole:
    case ValueKind::Decimal:
    case ValueKind::Supplies:
        return QString::fromLatin1(row.kind == ValueKind::Whole && row.max == row.min + 1 ? "%1 or %2" : "%1 to %2")
            .arg(PlainNumber(row.min), PlainNumber(row.max));
    case ValueKind::Choice: {
        QStringList words = QString::fromLatin1(row.choices).split(QLatin1Char(' '));
        const QString last = words.takeLast();
        return words.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
    }
    case ValueKind::OnOff:
        return QStringLiteral("on or off");
    default:
        return QString();
    }
}

QString OptionHelp(const OptionRow &row)
{
    QString text = QString::fromUtf8(row.help);
    text.replace(QStringLiteral("%r"), RangeText(row));
    if (row.byDefault)
        text.replace(QStringLiteral("%d"), QLatin1String(row.byDefault));
    return text;
}
