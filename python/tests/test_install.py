import subprocess
import sys

from conftest import BUILD


def test_installed_package_imports_from_where_the_system_python_looks(tmp_path):
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(tmp_path)],
                   check=True, capture_output=True)
    [site] = [p for p in tmp_path.rglob("orvterdep") if p.is_dir()]
    relative = site.parent.relative_to(tmp_path)
    # The same folder under /usr or /usr/local is on the interpreter's own path.
    assert any(f"{prefix}/{relative}" in sys.path for prefix in ("/usr", "/usr/local"))
    probe = "import orvterdep, sys; print(orvterdep.__file__); orvterdep.Packet()"
    out = subprocess.run([sys.executable, "-c", probe], env={"PYTHONPATH": str(site.parent)}, cwd=tmp_path,
                         check=True, capture_output=True, text=True).stdout
    assert out.startswith(str(site))
