# SPDX-License-Identifier: Apache-2.0
# The greeter from Python: KIV_TLIB_PATH names the folder of greeter.tlb, and the plug-in is
# registered (kiv register, or kiv.register_plugin for this process).
import kiv

greeter = kiv.create("3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15")  # a Demo::IGreeter proxy
print(greeter.greet("Ada"), "- greetings so far:", greeter.greetings)


@kiv.implements("IDL:Demo/IGreeter:1.0")
class PoliteGreeter:  # the same interface, implemented in Python
    greetings = 0

    def greet(self, name):
        self.greetings += 1
        return f"Good day, {name}."


polite = kiv.wrap(PoliteGreeter())  # a real kiv object: C callers reach greet() through it
print(polite.greet("Grace"), "- greetings so far:", polite.greetings)
