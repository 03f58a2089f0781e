"""Stream every kind of input from the simulated module while recording it,
then replay the recording, export it to HDF5 and plot it.

    PYTHONPATH=python python3 python/examples/quickstart.py [OUTDIR]
"""
import os
import sys
import tempfile

import kr2270


def main(out_dir):
    rec_dir = os.path.join(out_dir, "rec")
    with kr2270.Simulator() as sim:
        with kr2270.Device(sim.host, sim.port, sim.data_port, timeout=1.0) as dev:
            snap = dev.snapshot()
            print(f"ai1 = {snap['ai1']:.4f} V, di = {snap['di']:#06x}, ct1 = {snap['ct1']}")
            with dev.stream(rate=256000, channels=range(1, 9), di=True, counters=[1, 2, 3, 4],
                            encoders=[1, 2], ranges={1: 5.0}, record=rec_dir) as s:
                block = s.read(25600, timeout=2.0)
                print(f"{len(block)} groups from index {block.index[0]} ({block.start_utc} UTC): "
                      f"ai {block.ai.shape}, "
                      f"mean ai1 {block.ai[:, 0].mean():.4f} V, gaps {len(block.gaps)}, "
                      f"lost {s.lost_groups}")
            first_file = s.recording
    with kr2270.Recording(first_file) as rec:
        print(f"recording: {len(rec)} groups at {rec.rate:g}/s, ranges {rec.ranges}")
        part = rec.read(0, 1000)
        assert (part.codes == block.codes[:1000]).all(), "replay differs from the live data"
        h5 = rec.to_hdf5(os.path.join(out_dir, "run.h5"))
        png = os.path.join(out_dir, "run.png")
        kr2270.plot(rec, png)
    print(f"wrote {h5} and {png}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="kr2270-py-"))
