"""End to end: an image past 65535 blocks, so block numbers on the wire wrap to 0 and go on.

    python3 large_image_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

from e2e_support import (Checks, Lab, check_bootp, check_data_sizes, check_transfer, make_image,
                         qbupdate_path, require_root, update, workdir)

# 65537 full blocks and one of 488 bytes: the wire numbers run ... 65535, 0, 1, 2.
SIZE = 65537 * 512 + 488


def main():
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e large image")
    with workdir("large") as tmp, Lab("e2ebig") as lab:
        c.start(f"{SIZE}-byte image, firmware")
        path = make_image(tmp, SIZE, 6)
        with open(path, "rb") as f:
            image = f.read()
        run = update(lab, qbupdate, path, tmp, timeout=120)
        check_transfer(c, run, lab, image)
        check_bootp(c, run, lab)
        check_data_sizes(c, run, image)
        wire = [d[1] for d in run.log["data"][65533:]]
        c.equal(wire, [65534, 65535, 0, 1, 2], "block numbers around the wrap")
        print(f"   {SIZE // 512 + 1} blocks in {run.elapsed:.1f} s", flush=True)
    c.finish()


if __name__ == "__main__":
    main()
