"""Models generated from the schema families that registry packages ship read those
families' documents; each test skips when its package (or Debian's examples) is absent."""

from __future__ import annotations

import datetime
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest
from lxml import etree

import kestrix
from kestrix.generate import generate, load_module

DS = "http://www.w3.org/2000/09/xmldsig#"
XENC = "http://www.w3.org/2001/04/xmlenc#"
XMLSEC_EXAMPLES = Path("/usr/share/doc/libxmlsec1-dev/examples")


def package_dir(name: str) -> Path:
    pytest.importorskip(name)
    return Path(importlib.util.find_spec(name).origin).parent


def generated_module(folder: Path, name: str, schemas: list[Path], catalog: Path | None = None):
    return load_module(generate(schemas, folder / f"{name}.py", catalog=catalog).path)


def c14n(data: bytes) -> str:
    return etree.canonicalize(data.decode(), rewrite_prefixes=True, strip_text=True)


@pytest.mark.parametrize("schema", ["pain.001.001.03", "pain.008.001.02"])
def test_iso20022_payments_round_trip(tmp_path, schema):
    import sepaxml

    schemas = package_dir("sepaxml") / "schemas"
    pain = generated_module(tmp_path, f"family_{schema.replace('.', '_')}", [schemas / f"{schema}.xsd"])
    account = {"name": "Test & Co", "IBAN": "NL50BANK1234567890", "BIC": "BANKNL2A", "batch": True,
               "currency": "EUR"}
    day = datetime.date(2030, 1, 1)
    if schema.startswith("pain.001"):
        maker = sepaxml.SepaTransfer(account, schema=schema, clean=True)
        payment = {"execution_date": day, "endtoend_id": "E2E1"}
    else:
        maker = sepaxml.SepaDD({**account, "creditor_id": "DE26ZZZ00000000000"}, schema=schema, clean=True)
        payment = {"type": "RCUR", "collection_date": day, "mandate_id": "M1", "mandate_date": day}
    for cents in (1012, 250):
        maker.add_payment({"name": "Jan de Vries", "IBAN": "NL50BANK1234567890", "BIC": "BANKNL2A",
                           "amount": cents, "description": "Invoice 7", **payment})
    document = maker.export(validate=True)
    bound = kestrix.deserialize(document, pain.Document, strict=True)  # every part is modelled
    assert c14n(kestrix.serialize(bound)) == c14n(document)


def saml_documents():
    """(root class name, document) of the SAML messages pysaml2 writes: a request, a response
    carrying an assertion, and a service provider's metadata. kestrix writes a UTC time as
    +00:00, so the documents give their times in that form."""
    from saml2 import md, saml, samlp

    at, later = "2024-01-01T00:00:00+00:00", "2024-01-01T00:05:00+00:00"
    issuer, sp = saml.Issuer(text="https://idp.example.org"), "https://sp.example.org"
    request = samlp.AuthnRequest(
        id="id-1", version="2.0", issue_instant=at, destination="https://idp.example.org/sso",
        assertion_consumer_service_url=sp + "/acs", issuer=saml.Issuer(text=sp),
        name_id_policy=samlp.NameIDPolicy(format=saml.NAMEID_FORMAT_TRANSIENT, allow_create="true"))
    assertion = saml.Assertion(
        id="a-1", version="2.0", issue_instant=at, issuer=issuer,
        subject=saml.Subject(
            name_id=saml.NameID(format=saml.NAMEID_FORMAT_TRANSIENT, text="u-1"),
            subject_confirmation=[saml.SubjectConfirmation(
                method="urn:oasis:names:tc:SAML:2.0:cm:bearer",
                subject_confirmation_data=saml.SubjectConfirmationData(recipient=sp + "/acs",
                                                                       not_on_or_after=later))]),
        conditions=saml.Conditions(not_before=at, not_on_or_after=later, audience_restriction=[
            saml.AudienceRestriction(audience=[saml.Audience(text=sp)])]),
        authn_statement=[saml.AuthnStatement(authn_instant=at, session_index="s-1", authn_context=saml.AuthnContext(
            authn_context_class_ref=saml.AuthnContextClassRef(text=saml.AUTHN_PASSWORD)))],
        attribute_statement=[saml.AttributeStatement(attribute=[saml.Attribute(
            name="mail", name_format=saml.NAME_FORMAT_BASIC,
            attribute_value=[saml.AttributeValue(text="a@example.org")])])])
    response = samlp.Response(
        id="r-1", version="2.0", issue_instant=at, in_response_to="id-1", destination=sp + "/acs", issuer=issuer,
        status=samlp.Status(status_code=samlp.StatusCode(value=samlp.STATUS_SUCCESS)), assertion=[assertion])
    metadata = md.EntityDescriptor(entity_id=sp, spsso_descriptor=[md.SPSSODescriptor(
        protocol_support_enumeration=samlp.NAMESPACE, assertion_consumer_service=[md.AssertionConsumerService(
            binding="urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST", location=sp + "/acs", index="0")])])
    return [("AuthnRequest", request), ("Response", response), ("EntityDescriptor", metadata)]


def test_saml_documents_round_trip(tmp_path):
    schemas = package_dir("saml2") / "data" / "schemas"
    catalog = tmp_path / "catalog.txt"
    catalog.write_text(f"{DS} {schemas / 'xmldsig-core-schema.xsd'}\n"
                       f"http://www.w3.org/2001/04/xmlenc# {schemas / 'xenc-schema.xsd'}\n")
    models = generated_module(tmp_path, "family_saml", [schemas / "saml-schema-protocol-2.0.xsd",
                                                        schemas / "saml-schema-metadata-2.0.xsd"], catalog)
    for name, message in saml_documents():
        document = message.to_string()
        bound = kestrix.deserialize(document, getattr(models, name), strict=True)
        assert c14n(kestrix.serialize(bound)) == c14n(document), name
        if name == "AuthnRequest":
            assert bound.issue_instant == datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
            assert bound.name_id_policy.allow_create is True


def test_xmlsec_signatures_and_encrypted_data_round_trip(tmp_path):
    if not XMLSEC_EXAMPLES.is_dir():
        pytest.skip("Debian's libxmlsec1-dev examples are not installed")
    # pysaml2's copy of the xenc schema (importing xmldsig) where installed, else xmlschema's
    if importlib.util.find_spec("saml2") is not None:
        folder = package_dir("saml2") / "data" / "schemas"
        schema, signature = folder / "xenc-schema.xsd", folder / "xmldsig-core-schema.xsd"
    else:
        folder = package_dir("xmlschema") / "schemas"
        schema, signature = folder / "XENC" / "xenc-schema.xsd", folder / "DSIG" / "xmldsig-core-schema.xsd"
    catalog = tmp_path / "catalog.txt"
    catalog.write_text(f"{DS} {signature}\n")
    models = load_module(generate([schema], tmp_path, package="xmlsec", catalog=catalog).path)
    found = []
    for path in sorted(XMLSEC_EXAMPLES.glob("*.xml")):
        try:
            tree = etree.parse(str(path))
        except etree.XMLSyntaxError:
            continue  # one example is not well-formed on purpose
        found += [(e, models.Signature) for e in tree.iter(f"{{{DS}}}Signature")]
        # an xenc:EncryptedKey inside ds:KeyInfo is caught by its xs:any, in place
        found += [(e, models.EncryptedData) for e in tree.iter(f"{{{XENC}}}EncryptedData")]
    assert {cls for _, cls in found} == {models.Signature, models.EncryptedData}
    for element, cls in found:
        data = etree.tostring(element)
        assert c14n(kestrix.serialize(kestrix.deserialize(data, cls, strict=True))) == c14n(data)


def test_any_type_content_is_kept_whole(tmp_path):
    # <Parameters> is of type anyType; PRFAlgorithmIdentifierType restricts its
    # owner's type, leaving it out.
    schema = package_dir("xmlschema") / "schemas" / "XENC" / "xenc-schema-11.xsd"
    models = load_module(generate([schema], tmp_path, package="xenc11").path)
    document = (b'<PBKDF2-params xmlns="http://www.w3.org/2009/xmlenc11#" xmlns:x="urn:x"><Salt>'
                b'<OtherSource Algorithm="urn:a"><Parameters x:p="1">text <x:iv n="2">AA<!--c--></x:iv> more'
                b'</Parameters></OtherSource></Salt><IterationCount>5</IterationCount><KeyLength>16</KeyLength>'
                b'<PRF Algorithm="urn:prf"/></PBKDF2-params>')
    bound = kestrix.deserialize(document, models.PBKDF2Params, strict=True)
    parameters = bound.salt.specified_or_other_source.parameters
    assert parameters.content == ["text ", kestrix.Element("{urn:x}iv", {"n": "2"}, "AA", [kestrix.Comment("c")]),
                                  " more"]
    assert parameters.other_attributes == {"{urn:x}p": "1"}
    assert isinstance(bound.prf, models.AlgorithmIdentifierType) and bound.prf.parameters is None
    assert c14n(kestrix.serialize(bound)) == c14n(document)


XS = "http://www.w3.org/2001/XMLSchema"
XMLSCHEMA_XSD = ("XSD_1.0", "XMLSchema.xsd")
QNAME_ATTRIBUTES = ("type", "base", "ref", "itemType", "substitutionGroup", "refer", "memberTypes")


def schema_c14n(document: bytes, defaults: dict[str, str]) -> str:
    """C14N 2.0 of a schema document after normalising what a reader may change: prefixes
    (rewritten, QName values resolved to {uri}local) and attributes that hold their
    default value."""
    root = etree.fromstring(document)
    for element in root.iter(f"{{{XS}}}*"):
        for name, value in list(element.attrib.items()):
            if defaults.get(name) == value:
                del element.attrib[name]
            elif name in QNAME_ATTRIBUTES:
                resolved = []
                for item in value.split():
                    prefix, _, local = item.rpartition(":")
                    resolved.append("{%s}%s" % (element.nsmap.get(prefix or None, ""), local))
                element.set(name, " ".join(resolved))
    return etree.canonicalize(etree.tostring(root).decode(), rewrite_prefixes=True, strip_text=True)


def test_schema_for_schemas_round_trips_the_other_families(tmp_path):
    meta = package_dir("xmlschema") / "schemas" / Path(*XMLSCHEMA_XSD)
    xsd = generated_module(tmp_path, "family_xsd", [meta])
    defaults = {a.get("name"): a.get("default") for a in etree.parse(str(meta)).iter(f"{{{XS}}}attribute")
                if a.get("default") is not None}
    files = sorted((package_dir("xmlschema") / "schemas").rglob("*.xsd"))
    for other in ("sepaxml", "saml2"):  # the other families, where installed
        if importlib.util.find_spec(other) is not None:
            files += sorted(package_dir(other).rglob("*.xsd"))
    for path in files:
        if path.name in ("XMLSchema.xsd", "datatypes.xsd", "xml_minimal.xsd") or "XSD_1.1" in path.parts:
            continue
        data = path.read_bytes()
        schema = kestrix.deserialize(data, xsd.Schema)
        names = [e.get("name") for e in etree.fromstring(data).iterfind(f"{{{XS}}}complexType")]
        assert [t.name for t in schema.content if isinstance(t, xsd.ComplexType)] == names, path
        assert schema_c14n(kestrix.serialize(schema), defaults) == schema_c14n(data, defaults), path


@pytest.mark.parametrize("style", ["dataclasses", "pydantic"])
def test_family_models_pass_mypy_strict(tmp_path, style):
    pytest.importorskip("mypy")
    schemas = package_dir("xmlschema") / "schemas"
    generate([schemas / Path(*XMLSCHEMA_XSD)], tmp_path / "xsd.py", style=style)
    generate([schemas / "XENC" / "xenc-schema-11.xsd"], tmp_path, package="encryption", style=style)
    paths = [tmp_path / "xsd.py", tmp_path / "encryption"]
    if importlib.util.find_spec("sepaxml") is not None:
        paths.append(generate([package_dir("sepaxml") / "schemas" / "pain.001.001.03.xsd"], tmp_path / "pain.py",
                              style=style).path)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, paths)],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout


def test_every_installed_schema_generates_an_importable_module(tmp_path):
    roots = [package_dir("xmlschema")] + [
        Path(importlib.util.find_spec(name).origin).parent
        for name in ("sepaxml", "saml2") if importlib.util.find_spec(name) is not None]
    xmlschema_schemas = roots[0] / "schemas"
    catalog = tmp_path / "catalog.txt"
    catalog.write_text(f"{DS} {xmlschema_schemas / 'DSIG' / 'xmldsig-core-schema.xsd'}\n"
                       f"http://www.w3.org/2001/04/xmlenc# {xmlschema_schemas / 'XENC' / 'xenc-schema.xsd'}\n"
                       f"http://schemas.xmlsoap.org/soap/envelope/ {xmlschema_schemas / 'WSDL' / 'soap-envelope.xsd'}\n")
    failures = []
    for number, path in enumerate(sorted(p for root in roots for p in root.rglob("*.xsd"))):
        if path.name == "datatypes.xsd":
            continue  # a fragment the schema for schemas pulls in through its DTD
        try:
            generated_module(tmp_path, f"installed_{number}", [path], catalog)
        except Exception as error:  # noqa: BLE001 - every failure is listed
            failures.append(f"{path}: {type(error).__name__}: {error}")
    assert failures == []
