#!/usr/bin/python3
'''The program's window as a screen reader sees it, through AT-SPI.

  accessible.py tree FILE   writes the accessible tree (role, name,
                            description, states) to FILE and checks it: every
                            control that takes the focus has a name a reader
                            would speak, the eight audience boxes are named
                            apart by their rows, and 压缩完关机 is checkable.
  accessible.py focus       prints the role and name of what has the focus.
  accessible.py states NAME prints the states of the first node named NAME.

Exits non-zero, saying why, when a check fails.
'''

import sys
import time

import pyatspi

LISTS = ['音频格式', '视频格式']
AUDIENCES = ['28K Modem', '56K Modem', '单信道ISDN', '双信道ISDN', '公共局域网',
             '256K DSL/Cable modem', '384K DSL/Cable modem', '512K DSL/Cable modem']
STATES = ['focusable', 'focused', 'checkable', 'checked', 'showing']


def application(name='velmora', limit=30):
    deadline = time.time() + limit
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == name:
                return app
        time.sleep(0.3)
    sys.exit(f'accessible.py: no application "{name}" on the accessibility bus')


def nodes(node, depth=0):
    yield node, depth
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from nodes(child, depth + 1)


def states(node):
    state = node.getState()
    return [s for s in STATES if state.contains(getattr(pyatspi, 'STATE_' + s.upper()))]


def labels(node):
    '''The names of what labels `node` (its caption, by the labelled-by relation).'''
    out = []
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            out += [relation.getTarget(i).name for i in range(relation.getNTargets())]
    return out


def describe(node, depth):
    line = '  ' * depth + f'{node.getRoleName()} "{node.name}"'
    if node.description:
        line += f' desc="{node.description}"'
    if labels(node):
        line += ' labelled-by=' + '/'.join(f'"{name}"' for name in labels(node))
    if states(node):
        line += ' [' + ','.join(states(node)) + ']'
    return line


def check_tree(out):
    app = application()
    problems = []
    boxes = []
    lists = []
    with open(out, 'w', encoding='utf-8') as tree:
        for node, depth in nodes(app):
            tree.write(describe(node, depth) + '\n')
            role, name, st = node.getRoleName(), node.name, states(node)
            if 'focusable' in st and 'showing' in st and not name.strip():
                problems.append(f'a focusable {role} without a name')
            if role == 'check box' and node.parent.name == '目标听众':
                boxes.append(name)
            # Qt names a list by its value on Linux and its caption by the
            # relation, which a reader speaks with it.
            if role == 'combo box':
                lists += labels(node)[:1]
            # Qt's bridge passes no checkable state: a switch in a menu goes
            # as a check box.
            if name == '压缩完关机' and role != 'check box':
                problems.append(f'压缩完关机 is a {role}, not a check box')
            if role == 'push button' and name == '浏览' and not node.description:
                problems.append('a 浏览 button does not say which file it chooses')
    if sorted(boxes) != sorted(AUDIENCES):
        problems.append(f'the audience boxes are named {boxes}')
    if lists != LISTS:
        problems.append(f'the lists are labelled {lists}')
    if problems:
        sys.exit('accessible.py: ' + '; '.join(problems))


def states_of(name):
    for node, _ in nodes(application()):
        if node.name == name:
            print(' '.join(states(node)))
            return


def focus():
    for node, _ in nodes(application()):
        if 'focused' in states(node):
            print(f'{node.getRoleName()} {node.name}')


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == 'tree':
        check_tree(sys.argv[2])
    elif sys.argv[1:] == ['focus']:
        focus()
    elif len(sys.argv) == 3 and sys.argv[1] == 'states':
        states_of(sys.argv[2])
    else:
        sys.exit(__doc__)
