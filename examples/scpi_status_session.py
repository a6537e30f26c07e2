#!/usr/bin/env python3
"""An SCPI session in the IEEE 488.2 manner that many bench supply programming
guides teach: reset and clear, enable the error events, wait with *OPC?, and look
at the event status register before trusting what was set.

    examples/scpi_status_session.py [VISA-RESOURCE]

Default resource: TCPIP0::127.0.0.1::5025::SOCKET (varek-server on this machine).
Needs PyVISA with the pure-Python backend (Debian: python3-pyvisa-py). Exit status 0
when the supply's error queue ends empty.
"""
import sys

import pyvisa

RESOURCE = sys.argv[1] if len(sys.argv) > 1 else "TCPIP0::127.0.0.1::5025::SOCKET"
ERROR_EVENTS = 0x3C  # query, device-dependent, execution and command errors


def ask(psu, command):
    reply = psu.query(command)
    print("%s -> %s" % (command, reply))
    return reply


def check_events(psu, expected=0):
    """*ESR? reads and clears the event register; any error event means stop."""
    events = int(ask(psu, "*ESR?"))
    if events & ERROR_EVENTS != expected:
        sys.exit("unexpected events %d: %s" % (events, psu.query("SYST:ERR?")))
    return events


def main():
    rm = pyvisa.ResourceManager("@py")
    psu = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n", timeout=10000)
    try:
        psu.write("*RST;*CLS")
        psu.write("*ESE %d" % ERROR_EVENTS)
        psu.write("*SRE 32")  # event summary into the status byte
        ask(psu, "*IDN?")
        if ask(psu, "*TST?") != "0":
            sys.exit("self-test failed")
        psu.write("SYST:REM")

        psu.write("VOLT 3.3")
        psu.write("CURR 0.5")
        ask(psu, "*OPC?")
        check_events(psu)

        # A setting the supply refuses shows in the status byte and the event register.
        psu.write("VOLT 99")
        if int(ask(psu, "*STB?")) & 0x60 != 0x60:
            sys.exit("error not summarised in the status byte")
        check_events(psu, expected=0x10)
        ask(psu, "SYST:ERR?")

        psu.write("OUTP ON")
        ask(psu, "*OPC?")
        ask(psu, "MEAS:VOLT?")
        ask(psu, "MEAS:CURR?")
        psu.write("OUTP OFF;*OPC")
        if check_events(psu) & 1 != 1:
            sys.exit("operation complete not reported")
        psu.write("SYST:LOC")

        error = ask(psu, "SYST:ERR?")
        return 0 if error.startswith("0,") else 1
    finally:
        psu.close()
        rm.close()


if __name__ == "__main__":
    sys.exit(main())
