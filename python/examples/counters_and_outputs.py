"""Setters in SI units: outputs, a counter's base period and mode, a pulse
output, the watchdog, and the snapshot that shows their effect.

    PYTHONPATH=python python3 python/examples/counters_and_outputs.py
"""
import kr2270


def main():
    with kr2270.Simulator() as sim, kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        dev.set_outputs([1, 2, 5])                   # the module reads them back on di1..di12
        base = dev.set_counter_base(1, 0.1)          # seconds
        dev.set_counter_modes([1, 0, 0, 0])          # counter 1: events per base period
        count = dev.read_counters()[0]
        rate = dev.counter_values(1, [count])[0]
        hz, duty = dev.set_pulse(1, 1000.0, 0.25)
        dev.set_watchdog(2000)
        snap = dev.snapshot()
        print(f"di word {snap['di']:#06x}; counter 1 base {base:g} s: {count} per period = "
              f"{rate:g} /s; pulse {hz:g} Hz duty {duty:g}")
        dev.set_watchdog(None)
        dev.set_outputs(0)


if __name__ == "__main__":
    main()
