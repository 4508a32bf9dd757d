"""A tour of Corvane.simpleImage_ext: open a PNG and a BMP, look at what the
image remembers of its file, change pixels, save both and open them again."""
import os
import shutil
import tempfile

from Corvane.simpleImage_ext import SimpleImage

HERE = os.path.dirname(os.path.abspath(__file__))
FILTER_NAMES = "None Sub Up Average Paeth".split()


def describe(img):
    print(f"  size {img.size}, alpha plane: {'yes' if img._alpha is not None else 'no'}")
    if img._png_chunks is not None:
        print("  chunks:", ", ".join(f"{t.decode('latin-1')}({n})" for t, _, n in img._png_chunks))
        print("  IDAT lengths:", [n for t, _, n in img._png_chunks if t == b"IDAT"])
        print("  row filters:", " ".join(FILTER_NAMES[f] if f < 5 else str(f) for f in img._png_filters))
    if img._bmp_header is not None:
        print("  BMP values:", img._bmp_header)


work = tempfile.mkdtemp()
try:
    for name in ("sample.png", "sample.bmp"):
        print(f"== {name}")
        img = SimpleImage.open(os.path.join(HERE, name))      # from a path...
        with open(os.path.join(HERE, name), "rb") as f:
            same = SimpleImage.open(f.read())                 # ...or from the file's bytes
        assert same._pixels == img._pixels
        describe(img)

        print("  pixel (2, 1):", img.getPixel((2, 1)))
        for x in range(img.width):                            # paint a red line across row 1
            img.putPixel((x, 1), (255, 0, 0))
        out = os.path.join(work, "changed-" + name)
        img.save(out)                                         # written back in the shape it was read
        print(f"  saved {os.path.getsize(out)} bytes (the original has {os.path.getsize(os.path.join(HERE, name))})")

        again = SimpleImage.open(out)
        describe(again)
        print("  pixel (2, 1) now:", again.getPixel((2, 1)), "| pixels equal:", again._pixels == img._pixels)

    # Errors are exact, and a refused write leaves the target alone.
    for call in (lambda: SimpleImage.open(b"GIF89a"), lambda: img.getPixel((99, 0)),
                 lambda: SimpleImage(2, 2, b"short")):
        try:
            call()
        except ValueError as e:
            print(f"ValueError: {e}")
finally:
    shutil.rmtree(work)
