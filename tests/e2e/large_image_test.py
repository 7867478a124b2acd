"""End to end: an image past 65535 blocks, so block numbers on the wire wrap to 0 and go on."""

from e2e_support import Lab, complete, make_image, run_test, workdir

# 65537 full blocks and one of 488 bytes: the wire numbers run ... 65535, 0, 1, 2.
SIZE = 65537 * 512 + 488


def main(qbupdate, c):
    with workdir("large") as tmp, Lab("e2ebig") as lab:
        run = complete(c, f"{SIZE}-byte image, firmware", lab, qbupdate, make_image(tmp, SIZE, 6),
                       tmp, timeout=120, bootp=True, sizes=True)
        wire = [d[1] for d in run.log["data"][65533:]]
        c.equal(wire, [65534, 65535, 0, 1, 2], "block numbers around the wrap")
        print(f"   {SIZE // 512 + 1} blocks in {run.elapsed:.1f} s", flush=True)


if __name__ == "__main__":
    run_test("e2e large image", main)
