{
  "mediaType": "application/vnd.dev.sigstore.bundle.v0.3+json",
  "verificationMaterial": {
    "publicKey": {
      "hint": "86d699ce0d1a9bbe233277e9f659873097802b64ad6044474b570a53a81cae6b"
    },
    "tlogEntries": []
  },
  "dsseEnvelope": {
    "payload": "eyJfdHlwZSI6Imh0dHBzOi8vaW4tdG90by5pby9TdGF0ZW1lbnQvdjEiLCJzdWJqZWN0IjpbeyJuYW1lIjoiYiIsImRpZ2VzdCI6eyJzaGEyNTYiOiI0MDk3ZjQxY2FhZTFkYWQ5OWNlZDRhMTAzMzBhMjU4NDYxOWQzZDFkYWY5ODkzODkyY2EyYjQ1ZjNkODBkOGE5In19XSwicHJlZGljYXRlVHlwZSI6Imh0dHBzOi8vbW9kZWxfc2lnbmluZy9zaWduYXR1cmUvdjEuMCIsInByZWRpY2F0ZSI6eyJzZXJpYWxpemF0aW9uIjp7Im1ldGhvZCI6ImZpbGVzIiwiaGFzaF90eXBlIjoic2hhMjU2IiwiYWxsb3dfc3ltbGlua3MiOmZhbHNlLCJpZ25vcmVfcGF0aHMiOlsiUkVBRE1FIiwibWFuaWZlc3QuanNvbi5zaWciXX0sInJlc291cmNlcyI6W3sibmFtZSI6ImluZGV4LnJhbmtfcXVhbnQiLCJhbGdvcml0aG0iOiJzaGEyNTYiLCJkaWdlc3QiOiIxYjBmNTgwMzZkZjlhOTRlNjk2NTVkMDljNTE0MGE2ODU2OTZhOTUxMjEyYjE5YWY1ZGY2Y2UzYjQyNGVjYmY3In0seyJuYW1lIjoibWFuaWZlc3QuanNvbiIsImFsZ29yaXRobSI6InNoYTI1NiIsImRpZ2VzdCI6IjVkNDFkMjc0MjNhNTg2OWYzMGM0N2RlZGZkNWNiOGI3NGIzZGEzNmI0ZTMwOTE4N2Y5MTg2YWExODY1OWYxYzAifSx7Im5hbWUiOiJyb3dzLmpzb25sIiwiYWxnb3JpdGhtIjoic2hhMjU2IiwiZGlnZXN0IjoiYTlkOWI2NWQ3NTRjODE5N2E4YzMwYmU4ZWJhZGY4NmM4NTU5MWI4NDZjNTJkMmMzNGFiOGFiYzRjZGQ1ZDRjZCJ9XX19",
    "payloadType": "application/vnd.in-toto+json",
    "signatures": [
      {
        "sig": "MEYCIQDbaWCvMBSqyP0teSvckjvzHmDF5U6CC1vJfwNZAjKdBwIhAI/D+W4qeVtFIEP8PII2WKQDPM/VowN9EEFJzC+cKZzQ",
        "keyid": "7eab9a45a6b85bbb87b3c9d93a618b6b382e658d51c9304d9e1e63a3ecbd29ed"
      }
    ]
  }
}
