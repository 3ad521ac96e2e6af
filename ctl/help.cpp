#include "ctl/cli.h"

// The texts of --help, written for the terminal and for the manual page made
// from them: a usage line, what the command does, its options, then notes.

namespace {

const char General[] = R"(Usage: psuctl [OPTION]... COMMAND [ARGUMENT]...
Drive programmable DC power supplies on a Modbus RTU serial line from a shell
or a script: read their status once or as a log, write setpoints, limits and
switches, run timed voltage and current steps, find the bus addresses that
answer, and send calibration codes. psuctl speaks the same frames as psutool.

Commands:
  models                    list the supply models: menu number, name, limits
                            and resolution
  scan                      print the bus addresses that answer, one per line
  status                    read setpoints, measured voltage and current, output
                            state and output power, once or on a rhythm
  set                       write setpoints, limits and switches, and read them
                            back
  run STEPS.csv             run timed voltage and current steps, then switch the
                            output off
  calibrate                 write a voltage or current correction code
'psuctl COMMAND --help' (or 'psuctl help COMMAND') describes a command.

Line options (anywhere on the command line):
  -p, --port=PORT           COM1 to COM12, numbered as psutool numbers them (USB
                            adapters first), or a device path such as
                            /dev/ttyUSB0 (default COM1)
  -b, --baud=BAUD           1200, 2400, 4800, 9600, 19200, 38400, 57600 or
                            115200 (default 9600)
  -P, --parity=PARITY       none, even or odd (default none)
  -d, --data-bits=BITS      7 or 8 (default 8)
  -s, --stop-bits=BITS      1 or 2 (default 1)
  -o, --timeout=SECONDS     how long to wait for a reply to begin, 0.01 to 10
                            (default: the request's own time on the line plus
                            30 ms, 38 ms for a read at 9600 baud)
      --retries=N           how often to ask again after a timeout or a reply
                            that fails its CRC check, 0 to 10 (default 1)
  -v, --verbose             print every frame sent and received in hex on
                            stderr, with the milliseconds since the port opened
  -h, --help                print this help, or a command's help after the
                            command
      --version             print the version

A supply is named by its bus address (-a, 1 to 247) and its model (-m, a name
such as QELT30-05 or its menu number from 'psuctl models'). Values are given in
volts, amperes and watts. They go into the registers in the model's resolution
and are capped at the model's limits; stderr says so when a value is capped or
rounded. Each request waits for the reply of its own address and function and
checks its CRC; replies of other addresses are passed over.

Exit status:
  0    success
  1    bad usage: an unknown option, a bad value or a malformed steps file;
       nothing was sent
  2    the port cannot be opened
  3    no valid reply after the retries
  4    the supply answered with a Modbus exception (named in the message)
  5    the supply holds something other than what was written
  130  a run or a scan ended by Ctrl-C (a run switches the output off first)
Errors are one line on stderr naming the address and the register.

Examples:
  psuctl -p /dev/ttyUSB0 scan
  psuctl status -a 1 -m QELT30-05
  psuctl status -a 1 -m QELT30-05 --watch 1000 --format csv >> burn-in.csv
  psuctl set -a 1 -m QELT30-05 --voltage 12 --current 1.5 --output on
  psuctl run -a 1 -m QELT30-05 steps.csv --cycles 3
)";

const char Models[] = R"(Usage: psuctl models
List the supply models psuctl knows, in the order of psutool's model menu: the
menu number (usable for -m), the name, the largest voltage and current
setpoint, and the resolution of voltage and current.
)";

const char Scan[] = R"(Usage: psuctl [OPTION]... scan [--from A] [--to B]
Probe each bus address from A to B once, with a read of VoltageSetpoint
(0x1000), and print the addresses that answer, one per line, as they are found.
A silent address is not asked again. A reply that fails its CRC check counts as
an answer, since something is there; so does an exception reply. With the
default timeout the whole bus (1 to 247) takes under ten seconds at 9600 baud.
When stderr is a terminal it shows a progress bar; otherwise nothing is printed
there.

Options:
      --from=A              first address (default 1)
      --to=B                last address (default 247)

Exit status 3 when no address answers, 130 on Ctrl-C.
)";

const char Status[] = R"(Usage: psuctl [OPTION]... status -a ADDR -m MODEL [--watch MS] [--count N]
                             [--format table|csv|json]
Read a supply's voltage and current setpoints, measured voltage and current,
output state and output power (two requests: VoltageSetpoint..OutputSwitch,
0x1000-0x1004, and OutputPower, 0x1008).

Options:
  -a, --address=ADDR        bus address, 1 to 247
  -m, --model=MODEL         model name or menu number
      --watch=MS            read again every MS milliseconds until --count
                            readings or Ctrl-C; readings keep the rhythm (a late
                            reply does not shift the next one, and readings that
                            fell due during a slow one are skipped)
      --count=N             stop after N readings (default 1, or no end with
                            --watch)
      --format=FORMAT       table (default), csv or json

Formats: csv prints the header line
  time,address,model,voltage_set,current_set,voltage,current,output,power
and one line per reading; json prints one object per line with the same keys;
table prints aligned columns with the time of day. time is ISO 8601 local time
with milliseconds and the UTC offset; voltages and currents carry the model's
resolution (12.00, 1.500), output is on or off, power is in watts (14.40).
Each line is written out as soon as it is read. A reading that fails after the
retries ends the command with its exit status; Ctrl-C ends a watch with status 0.
)";

const char Set[] = R"(Usage: psuctl [OPTION]... set -a ADDR [-m MODEL] VALUE...
Write values to a supply, one register at a time, and read each back: a supply
that holds something other than what was written ends the command with status 5,
naming the register and both values.

Options:
  -a, --address=ADDR        bus address, 1 to 247
  -m, --model=MODEL         model name or menu number (needed with --voltage,
                            --current, --ovp and --ocp)
      --voltage=V           voltage setpoint (VoltageSetpoint, 0x1000), capped at
                            the model's limit
      --current=A           current setpoint (CurrentSetpoint, 0x1001), capped at
                            the model's limit
      --ovp=V               over-voltage limit (OverVoltageLimit, 0x100A), at least
                            two steps of the resolution
      --ocp=A               over-current limit (OverCurrentLimit, 0x100B)
      --output=on|off       output switch (OutputSwitch, 0x1004)
      --lock=on|off         front-panel key lock (KeyLock, 0x1006)
      --power=W             power setpoint (PowerSetpoint, 0x1007) in 0.01 W
                            steps, capped at 650.00 W
      --power-control=on|off
                            constant-power regulation (written as 1 or 0 to
                            OverVoltageLimit, 0x100A)
      --pid=on|off          the power regulator's PID loop (written as 0 to start
                            or 1 to stop to OutputPower, 0x1008)
      --new-address=N       a new bus address (BusAddress, 0x1005), 1 to 247

An output switched off goes first and one switched on goes last, after the
setpoints; a new address goes in after everything else and is checked by
reading from it. Power control and the PID loop share their registers with
other values and cannot be read back: the supply's acknowledgement is their
check.
)";

const char Run[] = R"(Usage: psuctl [OPTION]... run -a ADDR -m MODEL STEPS.csv [--cycles N]
Run timed steps. Each step's voltage and current setpoints are written together
(0x1000-0x1001); the output is switched on after the first step's setpoints and
switched off when the last step of the last cycle has run its time, on Ctrl-C
and on any error. Steps keep to a fixed schedule, each starting its duration
after the one before, and each is printed as it starts.

STEPS.csv holds rows of volts,amps,seconds; seconds may have decimals. A header
line, blank lines and lines starting with # are allowed. The whole file is read
and checked before anything is sent: a malformed row ends the command with
status 1, naming the line.

Options:
  -a, --address=ADDR        bus address, 1 to 247
  -m, --model=MODEL         model name or menu number
      --cycles=N            run the steps N times (default 1)

A steps file:
  volts,amps,seconds
  # soft start, then the burn-in
  5,0.5,60
  12,1.5,28800
)";

const char Calibrate[] = R"(Usage: psuctl [OPTION]... calibrate -a ADDR (--voltage-code N | --current-code N)
Write one correction code to a supply and read it back.

Options:
  -a, --address=ADDR        bus address, 1 to 247
      --voltage-code=N      VoltageCorrection (0x101A): 0 to 10 correct by 0 to
                            +10, 11 to 20 by -1 to -10
      --current-code=N      CurrentCorrection (0x1019): 0 to 100 correct by 0 to
                            +100, 101 to 200 by -1 to -100
)";

} // namespace

QString HelpText(const QString &command)
{
    const struct {
        const char *command;
        const char *text;
    } texts[] = {{"models", Models}, {"scan", Scan}, {"status", Status},
                 {"set", Set},       {"run", Run},   {"calibrate", Calibrate}};
    for (const auto &entry : texts) {
        if (command == QLatin1String(entry.command))
            return QString::fromUtf8(entry.text);
    }
    return QString::fromUtf8(General);
}
