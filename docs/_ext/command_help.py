"""The ``command-help`` directive: the ``--help`` text of a command and of each
of its subcommands, taken from its argparse parser while the site is built,
so that the page can never disagree with the program.

    .. command-help:: seiskernels._cli:parser

The argument names a function returning an ``argparse.ArgumentParser``.  The
directive writes the top-level help, then a section per subcommand (with a
label ``command-<prog>-<name>`` to link to) holding that subcommand's help.
"""

import argparse
import importlib
import os

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective

WIDTH = 80  # columns argparse wraps the help to, whatever the terminal building the site


def _help(parser):
    saved = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = str(WIDTH + 2)  # argparse leaves two columns free
    try:
        return parser.format_help().rstrip()
    finally:
        if saved is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = saved


def _subcommands(parser):
    for action in parser._actions:  # argparse keeps its subparsers only here
        if isinstance(action, argparse._SubParsersAction):
            return list(action.choices.items())
    return []


class CommandHelp(SphinxDirective):
    required_arguments = 1
    option_spec = {"prog": directives.unchanged}

    def run(self):
        module_name, _, function = self.arguments[0].partition(":")
        module = importlib.import_module(module_name)
        self.env.note_dependency(module.__file__)
        parser = getattr(module, function)()
        prog = self.options.get("prog", parser.prog)
        out = [self._block(_help(parser))]
        for name, sub in _subcommands(parser):
            ident = nodes.make_id(f"command-{prog}-{name}")
            section = nodes.section(ids=[ident])
            section += nodes.title(text=f"{prog} {name}")
            section += self._block(_help(sub))
            self.env.app.env.domaindata["std"]["labels"][ident] = (
                self.env.docname, ident, f"{prog} {name}")
            self.env.app.env.domaindata["std"]["anonlabels"][ident] = (self.env.docname, ident)
            out.append(section)
        return out

    @staticmethod
    def _block(text):
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        return block


def setup(app):
    app.add_directive("command-help", CommandHelp)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
