"""A short tour of Corvane.simpleImage_ext: build an image, read and write pixels, copy it."""
import inspect

from Corvane.simpleImage_ext import SimpleImage

# A 4 x 2 RGB image: 3 bytes per pixel, rows top to bottom, no padding.
width, height = 4, 2
pixels = bytes(v for y in range(height) for x in range(width) for v in (x * 60, y * 120, 200))
img = SimpleImage(width, height, pixels, alpha=bytes([255]) * (width * height))
print("size:", img.size, "bytes:", len(img._pixels), "alpha:", img._alpha is not None)
print("pixel (3, 1):", img.getPixel((3, 1)))

# Components wrap to 8 bits instead of clamping: 300 -> 44, -1 -> 255.
img.putPixel((0, 0), (300, -1, 12.7))
print("after putPixel((0, 0), (300, -1, 12.7)):", img.getPixel((0, 0)))

# copy() shares no buffer with its source.
dup = img.copy()
dup.putPixel((1, 0), (1, 2, 3))
print("copy changed:", dup.getPixel((1, 0)), "source kept:", img.getPixel((1, 0)))

# Errors are exact and early.
for call in (lambda: img.getPixel((4, 0)), lambda: SimpleImage(2, 2, b"short"), lambda: img.getPixel([0, 0])):
    try:
        call()
    except (ValueError, TypeError) as e:
        print(f"{type(e).__name__}: {e}")

print("signature:", "getPixel" + str(inspect.signature(SimpleImage.getPixel)))
