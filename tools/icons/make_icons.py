#!/usr/bin/env python3
"""Writes the program's line icons (src/ui/icons/*.svg).

Each file holds the same drawing three times in one 32 x 32 view box: at 32 units on
x 0..32, at 24 units on x -24..0 and at 16 units on x -40..-24; the theme image provider
picks one by moving the view box. Colours are the recolouring keys of the theme's `icon`
object: LINE, ACCENT, SHADE, FILL.
"""
import os

LINE, ACCENT, SHADE, FILL = "#316666", "#516666", "#a1aaaa", "#d2dddd"
OUT = os.path.join(os.path.dirname(__file__), "..", "..", "src", "ui", "icons")


def s(d, color=LINE, fill="none", w=1.0):
    return f'<path d="{d}" fill="{fill}" stroke="{color}" stroke-width="{{sw{w}}}" stroke-linecap="round" stroke-linejoin="round"/>'


def f(d, color):
    return f'<path d="{d}" fill="{color}" stroke="none"/>'


def circle(cx, cy, r, color=LINE, fill="none", w=1.0):
    return f'<circle cx="{cx}" cy="{cy}" r="{r}" fill="{fill}" stroke="{color}" stroke-width="{{sw{w}}}"/>'


def dot(cx, cy, r, color):
    return f'<circle cx="{cx}" cy="{cy}" r="{r}" fill="{color}"/>'


PAGE = "M8 3.5 H19.5 L25.5 9.5 V27 A1.5 1.5 0 0 1 24 28.5 H8 A1.5 1.5 0 0 1 6.5 27 V5 A1.5 1.5 0 0 1 8 3.5 Z"
FOLD = "M19.5 3.5 V9.5 H25.5"
FOLDER = "M4 8 A2 2 0 0 1 6 6 H12 L15 9 H26 A2 2 0 0 1 28 11 V25 A2 2 0 0 1 26 27 H6 A2 2 0 0 1 4 25 Z"


def page(extra=""):
    return s(PAGE, fill="#ffffff") + s(FOLD) + extra


def monitor(x=0):
    return (s(f"M{4+x} 6.5 H{28+x} A1.5 1.5 0 0 1 {29.5+x} 8 V21 A1.5 1.5 0 0 1 {28+x} 22.5 H{4+x} A1.5 1.5 0 0 1 {2.5+x} 21 V8 A1.5 1.5 0 0 1 {4+x} 6.5 Z", fill=FILL)
            + s(f"M{12+x} 27.5 H{20+x} M{16+x} 22.5 V27.5"))


def laptop():
    return (s("M6.5 8 A1.5 1.5 0 0 1 8 6.5 H24 A1.5 1.5 0 0 1 25.5 8 V20.5 H6.5 Z", fill=FILL)
            + s("M3 23.5 H29 L27.5 25.5 H4.5 Z", fill="#ffffff"))


def small_monitor(x, y, color=LINE, fill=FILL):
    return (s(f"M{x} {y} h9 a1 1 0 0 1 1 1 v6 a1 1 0 0 1 -1 1 h-9 a1 1 0 0 1 -1 -1 v-6 a1 1 0 0 1 1 -1 z", color, fill)
            + s(f"M{x+2.5} {y+10.5} h5", color))


def disk(extra=""):
    return (s("M5 11.5 H27 A2 2 0 0 1 29 13.5 V22 A2 2 0 0 1 27 24 H5 A2 2 0 0 1 3 22 V13.5 A2 2 0 0 1 5 11.5 Z", fill=FILL)
            + s("M3.5 19 H28.5") + dot(24.5, 21.5, 1.2, ACCENT) + extra)


ICONS = {
    "file": page(),
    "file-text": page(s("M10.5 14 H21.5 M10.5 18 H21.5 M10.5 22 H17.5", ACCENT)),
    "file-image": page(s("M9.5 24 L14 18 L17 21.5 L19 19 L22.5 24 Z", ACCENT, FILL) + dot(19.5, 13.5, 1.8, ACCENT)),
    "file-audio": page(s("M14 23 V13.5 L21 12 V21", ACCENT) + dot(12.5, 23, 2, ACCENT) + dot(19.5, 21, 2, ACCENT)),
    "file-video": page(s("M13 13.5 L21 18 L13 22.5 Z", ACCENT, FILL)),
    "file-archive": page(s("M14 4 V6 M16 6 V8 M14 8 V10 M16 10 V12 M14 12 V14", ACCENT)
                         + s("M13 16 H17 V21 H13 Z", ACCENT, FILL)),
    "file-pdf": page(s("M9.5 17 H22.5 V23 H9.5 Z", ACCENT, ACCENT) + s("M11 13 H20", SHADE)),
    "folder": s(FOLDER, fill=FILL) + s("M4 12.5 H28", ACCENT),
    "mkdir": s(FOLDER, fill=FILL) + s("M16 13 V23 M11 18 H21", ACCENT, w=1.2),
    "computer": monitor(),
    "dev-desktop": monitor(),
    "computer-laptop": laptop(),
    "dev-laptop": laptop(),
    "dev-local": monitor() + s("M11.5 15 L16 11 L20.5 15 V19 H11.5 Z", ACCENT),
    "drive-disk": disk(),
    "drive-hotplug": s("M11 3.5 H21 V9.5 H11 Z", fill="#ffffff") + s("M14 6 H15 M17 6 H18", ACCENT)
                     + s("M9 9.5 H23 V26 A2.5 2.5 0 0 1 20.5 28.5 H11.5 A2.5 2.5 0 0 1 9 26 Z", fill=FILL)
                     + dot(16, 23, 1.4, ACCENT),
    "drive-smb": disk(s("M16 11.5 V6.5 M8 6.5 H24", ACCENT) + dot(8, 6.5, 1.6, ACCENT) + dot(24, 6.5, 1.6, ACCENT)),
    "machine-list": small_monitor(3, 4) + small_monitor(19, 4) + small_monitor(11, 17)
                    + s("M13 9 H19 M8 15 L11 19 M24 15 L21 19", ACCENT),
    "machine-list-offline": small_monitor(3, 4, SHADE, "#ffffff") + small_monitor(19, 4, SHADE, "#ffffff")
                            + small_monitor(11, 17, SHADE, "#ffffff") + s("M5 27 L27 5", LINE, w=1.1),
    "network": circle(16, 16, 12, fill=FILL) + s("M4 16 H28 M16 4 C10 10 10 22 16 28 M16 4 C22 10 22 22 16 28", LINE)
               + s("M6.5 9.5 H25.5 M6.5 22.5 H25.5", ACCENT),
    "nodeview": s("M9.5 10 L21.5 8 M10 12 L14.5 21.5 M22 10.5 L18 21", ACCENT)
                + circle(8, 10, 4, fill=FILL) + circle(24, 8, 3.5, fill=FILL) + circle(16, 24, 4.5, fill=FILL),
    "alt-filerpane": s("M4.5 5.5 H27.5 A1.5 1.5 0 0 1 29 7 V25 A1.5 1.5 0 0 1 27.5 26.5 H4.5 A1.5 1.5 0 0 1 3 25 V7 A1.5 1.5 0 0 1 4.5 5.5 Z", fill="#ffffff")
                     + s("M16 5.5 V26.5") + f("M16.8 6.3 H27.5 A0.7 0.7 0 0 1 28.2 7 V25 A0.7 0.7 0 0 1 27.5 25.7 H16.8 Z", FILL)
                     + s("M6.5 10 H13 M6.5 14 H13 M6.5 18 H11 M19.5 10 H25.5 M19.5 14 H25.5", ACCENT),
    "extra-window": s("M10 4.5 H27 A1.5 1.5 0 0 1 28.5 6 V19 A1.5 1.5 0 0 1 27 20.5 H22", SHADE)
                    + s("M10 4.5 A1.5 1.5 0 0 0 8.5 6 V11", SHADE)
                    + s("M5 11.5 H21 A1.5 1.5 0 0 1 22.5 13 V26 A1.5 1.5 0 0 1 21 27.5 H5 A1.5 1.5 0 0 1 3.5 26 V13 A1.5 1.5 0 0 1 5 11.5 Z", fill="#ffffff")
                    + s("M3.5 15.5 H22.5", ACCENT),
    "new-tab": s("M3.5 27.5 H28.5 M5.5 27.5 V10 A2 2 0 0 1 7.5 8 H17.5 A2 2 0 0 1 19.5 10 V27.5", fill=FILL)
               + s("M24 6 V14 M20 10 H28", ACCENT, w=1.1),
    "copy": s("M11.5 3.5 H22 L27.5 9 V22.5 A1.5 1.5 0 0 1 26 24 H11.5 A1.5 1.5 0 0 1 10 22.5 V5 A1.5 1.5 0 0 1 11.5 3.5 Z", SHADE, "#ffffff")
            + s("M6 9.5 H15.5 L21.5 15.5 V27 A1.5 1.5 0 0 1 20 28.5 H6 A1.5 1.5 0 0 1 4.5 27 V11 A1.5 1.5 0 0 1 6 9.5 Z", fill="#ffffff")
            + s("M8 18.5 H18 M8 22.5 H15", ACCENT),
    "cut": circle(9, 23.5, 4, fill=FILL) + circle(23, 23.5, 4, fill=FILL)
           + s("M11.5 20.5 L23 4 M20.5 20.5 L9 4", LINE),
    "paste": s("M8 6.5 H24 A1.5 1.5 0 0 1 25.5 8 V27 A1.5 1.5 0 0 1 24 28.5 H8 A1.5 1.5 0 0 1 6.5 27 V8 A1.5 1.5 0 0 1 8 6.5 Z", fill=FILL)
             + s("M12 4.5 H20 V9 H12 Z", ACCENT, "#ffffff") + s("M10.5 15 H21.5 M10.5 19 H21.5 M10.5 23 H17", LINE),
    "rename": s("M4 11.5 H18 M4 20.5 H12", SHADE) + s("M4 8 H28 V24 H4 Z", LINE)
              + s("M22 4 V28 M19.5 4 H24.5 M19.5 28 H24.5", ACCENT),
    "trash": s("M5 8.5 H27 M12.5 8.5 V5.5 A1 1 0 0 1 13.5 4.5 H18.5 A1 1 0 0 1 19.5 5.5 V8.5")
             + s("M7.5 8.5 L9 27 A1.5 1.5 0 0 0 10.5 28.5 H21.5 A1.5 1.5 0 0 0 23 27 L24.5 8.5", fill=FILL)
             + s("M13 13 V24 M19 13 V24", ACCENT),
    "delete": circle(16, 16, 12, fill=FILL) + s("M11 11 L21 21 M21 11 L11 21", ACCENT, w=1.2),
    "properties": s("M5 9 H27 M5 16 H27 M5 23 H27", SHADE) + circle(11, 9, 2.5, fill="#ffffff")
                  + circle(21, 16, 2.5, fill="#ffffff") + circle(14, 23, 2.5, fill="#ffffff")
                  + dot(11, 9, 1, ACCENT) + dot(21, 16, 1, ACCENT) + dot(14, 23, 1, ACCENT),
    "preview": s("M2.5 16 C7 8.5 25 8.5 29.5 16 C25 23.5 7 23.5 2.5 16 Z", fill=FILL) + circle(16, 16, 5, ACCENT, "#ffffff")
               + dot(16, 16, 2, ACCENT),
    "hidden": s("M2.5 16 C7 8.5 25 8.5 29.5 16 C25 23.5 7 23.5 2.5 16 Z", SHADE, "#ffffff") + circle(16, 16, 5, SHADE)
              + s("M5 27 L27 5", LINE, w=1.1),
    "view-list": s("M11 8 H28 M11 16 H28 M11 24 H28") + dot(5.5, 8, 2, ACCENT) + dot(5.5, 16, 2, ACCENT) + dot(5.5, 24, 2, ACCENT),
    "view-columns": s("M4.5 5.5 H27.5 A1.5 1.5 0 0 1 29 7 V25 A1.5 1.5 0 0 1 27.5 26.5 H4.5 A1.5 1.5 0 0 1 3 25 V7 A1.5 1.5 0 0 1 4.5 5.5 Z", fill="#ffffff")
                    + s("M11.5 5.5 V26.5 M20.5 5.5 V26.5") + s("M5.5 10 H9 M14 10 H18 M23 10 H26.5", ACCENT),
    "view-icons": s("M4.5 4.5 H13.5 V13.5 H4.5 Z M18.5 4.5 H27.5 V13.5 H18.5 Z M4.5 18.5 H13.5 V27.5 H4.5 Z", fill=FILL)
                  + s("M18.5 18.5 H27.5 V27.5 H18.5 Z", ACCENT, FILL),
    "sort-up-arrow": s("M8 20 L16 12 L24 20", LINE, w=1.2),
    "sort-down-arrow": s("M8 12 L16 20 L24 12", LINE, w=1.2),
    "read-only": s("M10.5 14.5 V10.5 A5.5 5.5 0 0 1 21.5 10.5 V14.5", LINE)
                 + s("M7.5 14.5 H24.5 A1.5 1.5 0 0 1 26 16 V26 A1.5 1.5 0 0 1 24.5 27.5 H7.5 A1.5 1.5 0 0 1 6 26 V16 A1.5 1.5 0 0 1 7.5 14.5 Z", fill=FILL)
                 + dot(16, 20.5, 2, ACCENT),
    "invitation": s("M4.5 8.5 H27.5 A1.5 1.5 0 0 1 29 10 V24 A1.5 1.5 0 0 1 27.5 25.5 H4.5 A1.5 1.5 0 0 1 3 24 V10 A1.5 1.5 0 0 1 4.5 8.5 Z", fill=FILL)
                  + s("M3.5 9.5 L16 18.5 L28.5 9.5", ACCENT),
    "invitations": s("M10 3.5 H27.5 A1.5 1.5 0 0 1 29 5 V16.5 A1.5 1.5 0 0 1 27.5 18 H25", SHADE)
                   + s("M9 7 V5 A1.5 1.5 0 0 1 10 3.5", SHADE) + s("M9.5 4.5 L19 11", SHADE)
                   + s("M4.5 10.5 H22.5 A1.5 1.5 0 0 1 24 12 V25 A1.5 1.5 0 0 1 22.5 26.5 H4.5 A1.5 1.5 0 0 1 3 25 V12 A1.5 1.5 0 0 1 4.5 10.5 Z", fill=FILL)
                   + s("M3.5 11.5 L13.5 19 L23.5 11.5", ACCENT),
    "info": circle(16, 16, 12, fill=FILL) + s("M16 14.5 V22.5", ACCENT, w=1.2) + dot(16, 10, 1.6, ACCENT),
    "docs": s("M16 8 C12 5.5 7.5 5.5 3.5 7 V26 C7.5 24.5 12 24.5 16 27 C20 24.5 24.5 24.5 28.5 26 V7 C24.5 5.5 20 5.5 16 8 Z", fill=FILL)
            + s("M16 8 V27", LINE) + s("M7 11 H12.5 M7 15 H12.5 M19.5 11 H25 M19.5 15 H25", ACCENT),
    "update": s("M26 12 A10.5 10.5 0 0 0 7 9.5 M6 20 A10.5 10.5 0 0 0 25 22.5", LINE)
              + s("M26.5 5.5 V12.5 H19.5 M5.5 26.5 V19.5 H12.5", ACCENT),
    "licenses": page(circle(16, 17, 4, ACCENT, FILL) + s("M13.5 20.5 L12.5 26 L16 24 L19.5 26 L18.5 20.5", ACCENT)),
}

APP_ICON = """<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">
 <defs><linearGradient id="g" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#3d82e6"/><stop offset="1" stop-color="#2559b8"/></linearGradient></defs>
 <rect x="1" y="1" width="30" height="30" rx="7" fill="url(#g)"/>
 <rect x="5.5" y="8" width="9.5" height="16" rx="1.8" fill="#ffffff"/>
 <rect x="17" y="8" width="9.5" height="16" rx="1.8" fill="#ffffff" fill-opacity="0.78"/>
 <path d="M8 12.5 H12.5 M8 16 H12.5 M8 19.5 H11" stroke="#2f6fd6" stroke-width="1.4" stroke-linecap="round"/>
 <path d="M19.5 12.5 H24 M19.5 16 H24" stroke="#2f6fd6" stroke-width="1.4" stroke-linecap="round"/>
 <g transform="translate(-24,0) scale(0.75)"><rect x="1" y="1" width="30" height="30" rx="7" fill="url(#g)"/><rect x="5.5" y="8" width="9.5" height="16" rx="1.8" fill="#ffffff"/><rect x="17" y="8" width="9.5" height="16" rx="1.8" fill="#ffffff" fill-opacity="0.78"/></g>
 <g transform="translate(-40,0) scale(0.5)"><rect x="1" y="1" width="30" height="30" rx="7" fill="url(#g)"/><rect x="5.5" y="8" width="9.5" height="16" rx="1.8" fill="#ffffff"/><rect x="17" y="8" width="9.5" height="16" rx="1.8" fill="#ffffff" fill-opacity="0.78"/></g>
</svg>
"""


def render(body, sw):
    out = body
    for w in ("1.0", "1.1", "1.2"):
        out = out.replace("{sw" + w + "}", f"{sw * float(w):.2f}")
    return out


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, body in ICONS.items():
        svg = ('<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">\n'
               f' <g>{render(body, 1.6)}</g>\n'
               f' <g transform="translate(-24,0) scale(0.75)">{render(body, 1.9)}</g>\n'
               f' <g transform="translate(-40,0) scale(0.5)">{render(body, 2.3)}</g>\n'
               '</svg>\n')
        with open(os.path.join(OUT, name + ".svg"), "w") as fh:
            fh.write(svg)
    with open(os.path.join(OUT, "app-icon.svg"), "w") as fh:
        fh.write(APP_ICON)


if __name__ == "__main__":
    main()
