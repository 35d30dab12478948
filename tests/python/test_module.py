"""The module surface: members, names, docstrings, argument binding and conversion."""

import subprocess
import sys
import textwrap

import pytest

import quillan
import quillan._core as core
from helpers import Index
from quillan._core import TdxClient


class TestModule:
    def test_docstring(self):
        assert core.__doc__.startswith("quillan._core \u2014 High-performance TDX data reader")

    def test_every_member(self):
        expected = ["read_daily_bars", "read_minute_bars", "ping_servers", "TdxClient"]
        assert core.__all__ == expected
        newer = [
            "Client",
            "Retry",
            "Security",
            "ServersFailed",
            "Store",
            "Table",
            "adjust",
            "read_bars",
            "xdxr_table",
        ]
        assert quillan.__all__ == [*expected, *newer]
        assert sorted(n for n in dir(core) if not n.startswith("__")) == sorted(expected)
        assert [n for n in dir(TdxClient) if not n.startswith("_")] == [
            "connect", "disconnect", "get_company_info_category", "get_company_info_content",
            "get_finance_info", "get_report_file", "get_security_bars", "get_security_quotes",
            "get_transaction_data", "get_xdxr_info",
        ]  # fmt: skip

    def test_init_again_returns_same_object(self):
        # Drop the module from sys.modules and import it anew in a child interpreter process,
        # where the extension is initialised twice in the same interpreter.
        code = textwrap.dedent(
            """
            import importlib, sys
            import quillan._core as first
            del sys.modules["quillan._core"]
            second = importlib.import_module("quillan._core")
            assert second is first, (first, second)
            """
        )
        subprocess.run([sys.executable, "-c", code], check=True)

    @pytest.mark.parametrize("config", ["isolated", "legacy"])
    def test_subinterpreter_is_refused(self, config):
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create(interpreters.new_config(config))
        try:
            result = interpreters.exec(interp, "import quillan._core")
        finally:
            interpreters.destroy(interp)
        assert result is not None and result.type.__name__ == "ImportError"


class TestClientType:
    def test_names(self):
        assert TdxClient.__module__ == "builtins"
        assert TdxClient.__name__ == TdxClient.__qualname__ == "TdxClient"
        assert repr(TdxClient) == "<class 'TdxClient'>"
        assert TdxClient.__base__ is object

    def test_text_signatures(self):
        assert TdxClient.__text_signature__ == "()"
        assert TdxClient.connect.__text_signature__ == "($self, ip, port)"
        assert TdxClient.disconnect.__text_signature__ == "($self)"
        assert TdxClient.get_report_file.__text_signature__ == "($self, filename, offset)"

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "TdxClient.__new__() takes 0 positional arguments but 1 was given"),
            ((1, 2), {}, "TdxClient.__new__() takes 0 positional arguments but 2 were given"),
            ((), {"x": 1}, "TdxClient.__new__() got an unexpected keyword argument 'x'"),
        ],
    )
    def test_constructor_takes_nothing(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            TdxClient(*args, **kwargs)
        assert str(exc.value) == message

    def test_subclass_is_a_client(self):
        class Sub(TdxClient):
            pass

        s = Sub()
        assert s.disconnect() is None
        with pytest.raises(ConnectionError, match="^Not connected$"):
            s.get_report_file("a", 0)

    def test_disconnect_refuses_arguments(self):
        with pytest.raises(TypeError, match="takes no arguments"):
            TdxClient().disconnect(1)


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda c: c.connect(),
                "TdxClient.connect() missing 2 required positional arguments: 'ip' and 'port'",
            ),
            (lambda c: c.connect("1"), "TdxClient.connect() missing 1 required positional argument: 'port'"),
            (lambda c: c.connect(port=1), "TdxClient.connect() missing 1 required positional argument: 'ip'"),
            (
                lambda c: c.connect("a", 1, 2),
                "TdxClient.connect() takes 2 positional arguments but 3 were given",
            ),
            (lambda c: c.connect("a", ip="b"), "TdxClient.connect() got multiple values for argument 'ip'"),
            (
                lambda c: c.connect("a", 1, host="b"),
                "TdxClient.connect() got an unexpected keyword argument 'host'",
            ),
            (
                lambda c: c.get_report_file(),
                "TdxClient.get_report_file() missing 2 required positional arguments: "
                "'filename' and 'offset'",
            ),
        ],
    )
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as exc:
            call(TdxClient())
        assert str(exc.value) == message

    def test_keywords_bind_like_positions(self, standin):
        c = TdxClient()
        assert c.connect(port=standin.port, ip=standin.host) is True
        c.disconnect()

    def test_keyword_names_need_not_be_interned(self):
        name = "".join(["off", "set"])
        with pytest.raises(ConnectionError, match="^Not connected$"):
            TdxClient().get_report_file("a", **{name: 0})


class TestConversion:
    @pytest.mark.parametrize("offset", [0, 4294967295, True, Index(7)])
    def test_accepted_integers(self, offset):
        # Conversion passes, so the call gets as far as the connection test.
        with pytest.raises(ConnectionError, match="^Not connected$"):
            TdxClient().get_report_file("a", offset)

    @pytest.mark.parametrize("offset", [-1, 4294967296, Index(-1)])
    def test_out_of_range(self, offset):
        with pytest.raises(OverflowError) as exc:
            TdxClient().get_report_file("a", offset)
        assert str(exc.value) == "out of range integral type conversion attempted"

    def test_beyond_64_bits_keeps_interpreter_error(self):
        with pytest.raises(OverflowError) as exc:
            TdxClient().get_report_file("a", 1 << 70)
        assert "argument" not in str(exc.value)

    @pytest.mark.parametrize(
        "port, message",
        [
            (1.0, "argument 'port': 'float' object cannot be interpreted as an integer"),
            ("7709", "argument 'port': 'str' object cannot be interpreted as an integer"),
            (None, "argument 'port': 'NoneType' object cannot be interpreted as an integer"),
        ],
    )
    def test_integer_type_errors_get_prefix(self, port, message):
        with pytest.raises(TypeError) as exc:
            TdxClient().connect("127.0.0.1", port)
        assert str(exc.value) == message

    @pytest.mark.parametrize(
        "ip, message",
        [
            (1, "argument 'ip': 'int' object cannot be cast as 'str'"),
            (b"127.0.0.1", "argument 'ip': 'bytes' object cannot be cast as 'str'"),
            (Index(1), "argument 'ip': 'Index' object cannot be cast as 'str'"),
        ],
    )
    def test_text_type_errors(self, ip, message):
        with pytest.raises(TypeError) as exc:
            TdxClient().connect(ip, 1)
        assert str(exc.value) == message

    def test_qualified_type_name_in_message(self):
        class Inner:
            pass

        with pytest.raises(
            TypeError, match=r"'TestConversion\.test_qualified_type_name_in_message\.<locals>\.Inner' object"
        ):
            TdxClient().connect(Inner(), 1)

    def test_str_subclass_is_text(self):
        class S(str):
            pass

        with pytest.raises(ConnectionError, match="^Not connected$"):
            TdxClient().get_report_file(S("a"), 0)

    def test_unencodable_text_raises_unicode_error(self):
        with pytest.raises(UnicodeEncodeError):
            TdxClient().get_report_file("\udc80", 0)

    def test_prefix_keeps_cause(self):
        def fail():
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("custom") from e

        with pytest.raises(TypeError) as exc:
            TdxClient().get_report_file("a", Index(0, fail))
        assert str(exc.value) == "argument 'offset': custom"
        assert isinstance(exc.value.__cause__, KeyError)

    def test_type_error_subclass_passes_unchanged(self):
        class MyTypeError(TypeError):
            pass

        def fail():
            raise MyTypeError("mine")

        with pytest.raises(MyTypeError, match="^mine$"):
            TdxClient().get_report_file("a", Index(0, fail))

    def test_conversion_in_parameter_order(self):
        with pytest.raises(TypeError, match="^argument 'filename'"):
            TdxClient().get_report_file(1, -1)

    def test_conversion_before_connection_test(self):
        with pytest.raises(OverflowError):
            TdxClient().get_report_file("a", -1)

    def test_failed_calls_leak_no_references(self):
        c = TdxClient()
        name, bad = "a" * 50, Index(-5)
        before = sys.getrefcount(name), sys.getrefcount(bad), sys.getrefcount(c)
        for _ in range(1000):
            with pytest.raises(OverflowError):
                c.get_report_file(name, bad)
            with pytest.raises(ConnectionError):
                c.get_report_file(name, 0)
        assert (sys.getrefcount(name), sys.getrefcount(bad), sys.getrefcount(c)) == before


class TestExclusiveUse:
    def test_reentrant_call_is_refused(self):
        c = TdxClient()
        seen = []

        def reenter():
            try:
                c.disconnect()
            except RuntimeError as e:
                seen.append(str(e))
                raise

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            c.get_report_file("a", Index(0, reenter))
        assert seen == ["Already borrowed"]
        # The flag is cleared once the outer call has ended.
        assert c.disconnect() is None
        with pytest.raises(ConnectionError, match="^Not connected$"):
            c.get_report_file("a", 0)

    def test_other_clients_are_independent(self):
        a, b = TdxClient(), TdxClient()
        with pytest.raises(ConnectionError, match="^Not connected$"):
            a.get_report_file("a", Index(0, b.disconnect))
