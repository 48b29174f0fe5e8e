#!/usr/bin/env python3
"""Checks a run's bus log against canhub's pcap of the same run.

    trc_check.py RUN.trc BUS.pcap [TESTER_ADDRESS]

python-can's TRCReader must read RUN.trc; its Tx frames must be the frames
the tester (source address TESTER_ADDRESS, F9 by default) put on the bus
and its Rx frames those addressed to the tester, each in the pcap's order,
with equal identifiers and data, and every time stamp within 250 ms of the
pcap's once the two clocks are set against each other at the first frame.
(Sent and read frames may interleave differently: a frame is logged when
the tool wrote or read it, the pcap has the bus's order.)
Exit status 0 when all holds; otherwise one line saying what differs.
"""
import struct
import sys

import can

TOLERANCE_S = 0.25


def pcap_frames(path):
    data = open(path, 'rb').read()
    order = '<' if data[:4] == b'\xd4\xc3\xb2\xa1' else '>'
    off, frames = 24, []
    while off + 16 <= len(data):
        sec, usec, n, _ = struct.unpack(order + 'IIII', data[off:off + 16])
        rec = data[off + 16:off + 16 + n]
        off += 16 + n
        can_id = struct.unpack('>I', rec[:4])[0] & 0x1FFFFFFF
        frames.append((sec + usec / 1e6, can_id, bytes(rec[8:8 + rec[4]])))
    return frames


def main():
    trc, pcap = sys.argv[1], sys.argv[2]
    tester = int(sys.argv[3], 16) if len(sys.argv) > 3 else 0xF9
    logged = list(can.TRCReader(trc))
    if not logged:
        return f'{trc}: python-can read no frame'
    bus = pcap_frames(pcap)
    for direction, mine in (('Tx', lambda i: i & 0xFF == tester),
                            ('Rx', lambda i: (i >> 8) & 0xFF == tester and i & 0xFF != tester)):
        log = [(m.timestamp, m.arbitration_id, bytes(m.data)) for m in logged if m.is_rx == (direction == 'Rx')]
        if not log:
            return f'{trc}: no {direction} frame'
        wire = [f for f in bus if mine(f[1])]
        # The log covers part of the bus's time: find its first frame there.
        start = next((k for k in range(len(wire)) if wire[k][1:] == log[0][1:]
                      and wire[k:k + len(log)] and [w[1:] for w in wire[k:k + len(log)]] == [l[1:] for l in log]), None)
        if start is None:
            return f'{trc}: its {len(log)} {direction} frames are not a run of the pcap\'s {len(wire)}'
        shift = wire[start][0] - log[0][0]
        for k, (t, can_id, _) in enumerate(log):
            if abs(wire[start + k][0] - (t + shift)) > TOLERANCE_S:
                return (f'{trc}: {direction} frame {k + 1} ({can_id:08X}) at {t:.4f} s, '
                        f'{wire[start + k][0] - shift - t:+.3f} s off the pcap')
        print(f'trc_check: {len(log)} {direction} frames equal the pcap')
    return None


if __name__ == '__main__':
    problem = main()
    if problem:
        print('trc_check: FAILED: ' + problem)
        sys.exit(1)
