#!/usr/bin/env python3
"""An SCPI script in the channel-list manner of multi-output supply guides: learn
the range with VOLT? MAX, then address every setting and reading to (@1).

    examples/scpi_channel_list.py [VISA-RESOURCE]

Default resource: TCPIP0::127.0.0.1::5025::SOCKET. Needs PyVISA (python3-pyvisa-py).
Exit status 0 when the supply's error queue ends empty.
"""
import sys

import pyvisa

RESOURCE = sys.argv[1] if len(sys.argv) > 1 else "TCPIP0::127.0.0.1::5025::SOCKET"
CHANNEL = "(@1)"


def ask(psu, command):
    reply = psu.query(command)
    print("%s -> %s" % (command, reply))
    return reply


def main():
    rm = pyvisa.ResourceManager("@py")
    psu = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n", timeout=10000)
    try:
        psu.write("*CLS")
        volts_max = float(ask(psu, "VOLT? MAX,%s" % CHANNEL))
        amps_max = float(ask(psu, "CURR? MAX,%s" % CHANNEL))
        volts_min = float(ask(psu, "VOLT? MIN,%s" % CHANNEL))

        # Stay inside whatever range this supply (and its ceilings) allow.
        volts = max(volts_min, min(12.0, volts_max))
        amps = min(0.8, amps_max)
        psu.write("VOLT %.2f,%s" % (volts, CHANNEL))
        psu.write("CURR %.2f,%s" % (amps, CHANNEL))
        psu.write("OUTP ON,%s" % CHANNEL)
        ask(psu, "OUTP? %s" % CHANNEL)
        ask(psu, "VOLT? %s" % CHANNEL)
        ask(psu, "CURR? %s" % CHANNEL)
        ask(psu, "MEAS:VOLT? %s" % CHANNEL)
        ask(psu, "MEAS:CURR? %s" % CHANNEL)

        psu.write("VOLT MIN,%s" % CHANNEL)
        psu.write("OUTP OFF,%s" % CHANNEL)
        ask(psu, "OUTP? %s" % CHANNEL)

        error = ask(psu, "SYST:ERR?")
        return 0 if error.startswith("0,") else 1
    finally:
        psu.close()
        rm.close()


if __name__ == "__main__":
    sys.exit(main())
