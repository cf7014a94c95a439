#!/usr/bin/python3
"""Reads and presses the windows of a running program through the accessibility bus (AT-SPI), as screen
readers and GNOME's test tools do.

  atspi.py controls WINDOW         every control of the window: role, then name, one per line
  atspi.py labels WINDOW           the text of every label of the window, each whole
  atspi.py text WINDOW NAME        the text of the window's text control called NAME
  atspi.py press WINDOW LABEL      presses the window's button labelled LABEL
  atspi.py enabled WINDOW LABEL    succeeds when the window's button labelled LABEL is enabled
  atspi.py unnamed WINDOW          the window's fields, trees and buttons that have no name; fails if any

WINDOW is a top-level window's caption (exact). The program is the one whose process id is in $ORFEO_PID.
"""
import os
import sys

import pyatspi

NAMED_ROLES = {"text", "password text", "tree", "tree table", "push button", "check box", "radio button",
               "combo box", "list", "table", "spin button"}


def application():
    pid = int(os.environ["ORFEO_PID"])
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.get_process_id() == pid:
            return app
    sys.exit(f"no application with process id {pid} on the accessibility bus")


def window(caption):
    app = application()
    for i in range(app.childCount):
        top = app.getChildAtIndex(i)
        if top is not None and top.name == caption and top.getState().contains(pyatspi.STATE_SHOWING):
            return top
    names = [app.getChildAtIndex(i).name for i in range(app.childCount)]
    sys.exit(f"no window '{caption}' showing; windows: {names}")


def walk(node):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        # A tree's rows are not controls of their own.
        if child.getRoleName() not in ("tree", "tree table", "list", "table"):
            yield from walk(child)


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    command, caption = argv[1], argv[2]
    top = window(caption)
    if command == "controls":
        for node in walk(top):
            print(f"{node.getRoleName()}\t{node.name}")
    elif command == "labels":
        for node in walk(top):
            if node.getRoleName() == "label":
                print(node.name)
    elif command == "text":
        for node in walk(top):
            if node.getRoleName() == "text" and node.name == argv[3]:
                text = node.queryText()
                print(text.getText(0, -1))
                return
        sys.exit(f"no text control '{argv[3]}' in '{caption}'")
    elif command == "press":
        for node in walk(top):
            if node.getRoleName() == "push button" and node.name.replace("&", "") == argv[3]:
                action = node.queryAction()
                for i in range(action.nActions):
                    if action.getName(i) in ("Press", "press", "click"):
                        action.doAction(i)
                        return
        sys.exit(f"no button '{argv[3]}' in '{caption}'")
    elif command == "enabled":
        for node in walk(top):
            if node.getRoleName() == "push button" and node.name.replace("&", "") == argv[3]:
                sys.exit(0 if node.getState().contains(pyatspi.STATE_ENABLED) else 1)
        sys.exit(f"no button '{argv[3]}' in '{caption}'")
    elif command == "unnamed":
        unnamed = [node.getRoleName() for node in walk(top)
                   if node.getRoleName() in NAMED_ROLES and not node.name.strip()]
        if unnamed:
            sys.exit(f"controls without a name in '{caption}': {', '.join(unnamed)}")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
