#!/usr/bin/env python3
"""An SCPI script in the manner of guides that name the output CH1: select it with
INST:NSEL, program it with APPL CH1,<volts>,<amps> and read it back per channel.

    examples/scpi_channel_names.py [VISA-RESOURCE]

Default resource: TCPIP0::127.0.0.1::5025::SOCKET. Needs PyVISA (python3-pyvisa-py).
Exit status 0 when the supply's error queue ends empty.
"""
import sys

import pyvisa

RESOURCE = sys.argv[1] if len(sys.argv) > 1 else "TCPIP0::127.0.0.1::5025::SOCKET"


def ask(psu, command):
    reply = psu.query(command)
    print("%s -> %s" % (command, reply))
    return reply


def main():
    rm = pyvisa.ResourceManager("@py")
    psu = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n", timeout=10000)
    try:
        psu.write("*CLS")
        psu.write("INST:NSEL 1")
        ask(psu, "INST:SEL?")
        psu.write("APPL CH1,5,1")
        ask(psu, "APPL? CH1")
        psu.write("OUTP ON")
        ask(psu, "MEAS:VOLT? CH1")
        ask(psu, "MEAS:CURR? CH1")
        ask(psu, "MEAS:POW? CH1")

        # Lower the output, then switch it off and leave the current limit low.
        psu.write("INST:SEL CH1")
        psu.write("APPL CH1,2.5,MIN")
        ask(psu, "APPL? CH1")
        psu.write("OUTP OFF")

        error = ask(psu, "SYST:ERR?")
        return 0 if error.startswith("0,") else 1
    finally:
        psu.close()
        rm.close()


if __name__ == "__main__":
    sys.exit(main())
